#pragma once

#include <QString>

#include <optional>

namespace halvex {

// Finds this device's pending pairing request in the output of
// "openclaw devices list". The device is recognised by its short id, the
// first 12 characters of the device id.
namespace PairingRequestParser {

QString shortDeviceId(const QString &deviceId);

// JSON forms: an array of request objects, or an object whose "pending"
// member is such an array (what "devices list --json" prints). The first
// object whose "deviceId" (else "id") contains the short id gives its
// "requestId" (else "id"). Text before the JSON (warnings) is skipped when
// the JSON starts on a line of its own.
std::optional<QString> requestIdFromJson(const QString &output, const QString &deviceId);

// Line form: the first line containing the short id, or else the first one
// mentioning "pending" in any letter case; its first word is the id. Box
// drawing characters of a table count as white space, so a table row
// "│ <request> │ <device> │ ..." gives the request column.
std::optional<QString> requestIdFromLines(const QString &output, const QString &deviceId);

// The JSON forms, then the line form (except after the tool's JSON object,
// which is complete on its own).
std::optional<QString> findRequestId(const QString &output, const QString &deviceId);

} // namespace PairingRequestParser

} // namespace halvex
