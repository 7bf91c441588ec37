#pragma once

#include <QMetaType>
#include <QString>

namespace halvex {

// The relay side of the bridge. Two values are equal when their cases and,
// for error, their messages are equal.
class BridgeConnectionState
{
public:
    enum class Kind { error, disconnected, connecting, connected };

    BridgeConnectionState() = default;
    static BridgeConnectionState error(QString message) { return {Kind::error, std::move(message)}; }
    static BridgeConnectionState disconnected() { return {Kind::disconnected, {}}; }
    static BridgeConnectionState connecting() { return {Kind::connecting, {}}; }
    static BridgeConnectionState connected() { return {Kind::connected, {}}; }

    Kind kind() const { return m_kind; }
    const QString &message() const { return m_message; }
    // "disconnected", "connecting", "connected" or "error(<message>)".
    QString description() const;

    bool operator==(const BridgeConnectionState &) const = default;

private:
    BridgeConnectionState(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
    Kind m_kind = Kind::disconnected;
    QString m_message;
};

} // namespace halvex

Q_DECLARE_METATYPE(halvex::BridgeConnectionState)
