#pragma once

#include <QString>

#include <QStringList>

#include <optional>

namespace halvex {

// Finds this device's pending pairing request in the output of
// "openclaw devices list". The device is recognised by its short id, the
// first 12 characters of the device id.
namespace PairingRequestParser {

QString shortDeviceId(const QString &deviceId);

// The JSON listing: an array of request objects, or an object whose
// "pending" member is such an array (what "devices list --json" prints);
// text before the JSON (warnings) is skipped when the JSON starts on a line
// of its own. Returns this device's pending request ids in listed order
// (the "requestId", else "id", of each object whose "deviceId", else "id",
// is this device's id or a prefix of it of at least 12 characters), or
// std::nullopt when the output is not such a listing.
std::optional<QStringList> pendingRequestIdsFromJson(const QString &output, const QString &deviceId);

// The plain listing, a fallback: the first word of the first line that
// names the short id. Box drawing characters of a table count as white
// space, so a table row "│ <request> │ <device> │ ..." gives the request
// column. Never a line without the short id.
std::optional<QString> requestIdFromLines(const QString &output, const QString &deviceId);

} // namespace PairingRequestParser

} // namespace halvex
