#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace halvex {

class SingleInstance;

// What a terminal command (or a later launch) asks of the running bridge of
// this session, over the single-instance socket. A request is one line: its
// name, and for some an argument after one space. Every request but "show"
// and "reloadCredentials" is answered with one line of compact JSON;
// "watchStatus" with one line now and one more on every change, for as long
// as the asker stays connected. A refused request gets {"error": text}.
namespace BridgeRequest {
// Show the tray's menu or the setup wizard (a later launch of the program).
inline constexpr char show[] = "show";
// A pairing or a gateway change stored new credentials: use them now.
inline constexpr char reloadCredentials[] = "reloadCredentials";
// The live status document (bridge/bridge_status.h).
inline constexpr char status[] = "status";
inline constexpr char watchStatus[] = "watchStatus";
// Argument: the new name; none goes back to the host-name fallback. Answer:
// {"bridgeName": the name now in use}.
inline constexpr char setBridgeName[] = "setBridgeName";
// Argument: "on" or "off". Answer: {"enabled": the switch now}.
inline constexpr char setEnabled[] = "setEnabled";
} // namespace BridgeRequest

// One request line taken apart.
struct ParsedBridgeRequest {
    QByteArray name;
    QString argument; // UTF-8 decoded; empty when none was given
};
ParsedBridgeRequest parseBridgeRequest(const QByteArray &line);
// The line for a request name and its argument.
QByteArray bridgeRequestLine(const char *name, const QString &argument = {});

// Tells the running bridge (tray or headless) of this session to pick up
// the stored credentials. False when no bridge runs (it reads them when it
// starts).
bool announceCredentialsChanged(SingleInstance &instance);

// Sends a request and reads the bridge's answer. Nothing when no bridge runs
// (or it did not answer in time, or not with a JSON object).
std::optional<QJsonObject> askRunningBridge(SingleInstance &instance, const QByteArray &request);

} // namespace halvex
