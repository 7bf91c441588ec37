#pragma once

#include "platform/error.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace halvex {

// The signed "connect" request of the gateway handshake, built from plain
// inputs so it can be checked against the gateway's verifier without a
// socket or a clock.
namespace ConnectRequestBuilder {

// The client this bridge presents itself as. OpenClaw grants the operator
// scopes and the voice capability the bridge needs to known first-party
// clients only; the bridge speaks for the Halvex phone app, so it uses the
// identity of OpenClaw's own mobile client (measured: 2026.5.x and 2026.9.x
// accept it in mode "ui").
inline constexpr char kClientId[] = "openclaw-ios";
inline constexpr char kClientMode[] = "ui";
inline constexpr char kClientVersion[] = "1.0.0";
inline constexpr char kClientPlatform[] = "linux";
inline constexpr char kRole[] = "operator";
// The least the bridge uses: "chat.send" and the agent events of its runs
// need operator.write (which includes operator.read), on 2026.5.x and
// 2026.9.x alike. Pairing is approved with the openclaw tool, never over
// the socket, so neither operator.pairing nor operator.admin is asked for.
QStringList scopes();

struct Input {
    QString requestId;
    QString deviceId;
    QString publicKeyBase64Url;
    // Signs the payload text; the device identity's sign().
    std::function<Result<QString>(const QString &payload)> sign;
    QString nonce;
    // "deviceToken" with the stored device token, or "token" with the
    // gateway token (which may be empty).
    QString authKey;
    QString token;
    qint64 signedAtMs = 0;
    // What the device asks for (tests play bridges that asked for others).
    QStringList scopes = ConnectRequestBuilder::scopes();
};

// "v2|<device>|<client>|<mode>|<role>|<scopes>|<signedAt>|<token>|<nonce>"
QString signedPayload(const Input &input);

// The whole request frame; fails when a text has no UTF-8 form ("Serialization
// failed") or signing fails (the signer's error).
Result<QJsonObject> build(const Input &input);

} // namespace ConnectRequestBuilder

} // namespace halvex
