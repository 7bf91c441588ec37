#pragma once

#include <QString>

namespace halvex {

// State of the gateway WebSocket; two error values are equal when their
// texts are equal.
class OpenClawWSState
{
public:
    enum class Kind { disconnected, connecting, authenticating, connected, error };

    OpenClawWSState() = default;
    static OpenClawWSState disconnected() { return {Kind::disconnected, {}}; }
    static OpenClawWSState connecting() { return {Kind::connecting, {}}; }
    static OpenClawWSState authenticating() { return {Kind::authenticating, {}}; }
    static OpenClawWSState connected() { return {Kind::connected, {}}; }
    static OpenClawWSState error(QString text) { return {Kind::error, std::move(text)}; }

    Kind kind() const { return m_kind; }
    const QString &errorText() const { return m_text; }
    // "disconnected", "connecting", ..., or "error(<text>)", for logs and tests.
    QString description() const;

    bool operator==(const OpenClawWSState &) const = default;

private:
    OpenClawWSState(Kind kind, QString text) : m_kind(kind), m_text(std::move(text)) {}
    Kind m_kind = Kind::disconnected;
    QString m_text;
};

} // namespace halvex
