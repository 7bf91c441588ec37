#pragma once

#include <QString>

namespace halvex {

// State of the gateway WebSocket; two error values are equal when their
// texts are equal.
class GatewayLinkState
{
public:
    enum class Kind { disconnected, connecting, authenticating, connected, error };

    GatewayLinkState() = default;
    static GatewayLinkState disconnected() { return {Kind::disconnected, {}}; }
    static GatewayLinkState connecting() { return {Kind::connecting, {}}; }
    static GatewayLinkState authenticating() { return {Kind::authenticating, {}}; }
    static GatewayLinkState connected() { return {Kind::connected, {}}; }
    static GatewayLinkState error(QString text) { return {Kind::error, std::move(text)}; }

    Kind kind() const { return m_kind; }
    const QString &errorText() const { return m_text; }
    // "disconnected", "connecting", ..., or "error(<text>)", for logs and tests.
    QString description() const;

    bool operator==(const GatewayLinkState &) const = default;

private:
    GatewayLinkState(Kind kind, QString text) : m_kind(kind), m_text(std::move(text)) {}
    Kind m_kind = Kind::disconnected;
    QString m_text;
};

} // namespace halvex
