#include "gateway/pairing_request_parser.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace halvex::PairingRequestParser {

namespace {

// Parses the whole text, or failing that the text from the first line that
// opens a JSON array or object.
QJsonDocument parseJson(const QString &output)
{
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(output.toUtf8(), &error);
    if (error.error == QJsonParseError::NoError)
        return doc;
    static const QRegularExpression jsonStart(QStringLiteral("^[ \\t]*[\\[{]"), QRegularExpression::MultilineOption);
    const QRegularExpressionMatch start = jsonStart.match(output);
    if (!start.hasMatch() || start.capturedStart() == 0)
        return {};
    doc = QJsonDocument::fromJson(output.mid(start.capturedStart()).toUtf8(), &error);
    return error.error == QJsonParseError::NoError ? doc : QJsonDocument();
}

QString stringMember(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : QString();
}

// Walks request objects in order; nullopt when the list is not a list of
// objects, no object matches, or the matching one carries no id.
std::optional<QString> requestIdFromList(const QJsonArray &list, const QString &shortId)
{
    for (const QJsonValue &entry : list) {
        if (!entry.isObject())
            return std::nullopt;
    }
    for (const QJsonValue &entry : list) {
        const QJsonObject object = entry.toObject();
        QString candidate = stringMember(object, "deviceId");
        if (!object.value(QLatin1String("deviceId")).isString())
            candidate = stringMember(object, "id");
        if (!candidate.contains(shortId))
            continue;
        if (object.value(QLatin1String("requestId")).isString())
            return stringMember(object, "requestId");
        if (object.value(QLatin1String("id")).isString())
            return stringMember(object, "id");
        return std::nullopt;
    }
    return std::nullopt;
}

bool isSeparator(QChar c)
{
    // White space, and the box drawing block that tables are drawn with.
    return c.isSpace() || (c.unicode() >= 0x2500 && c.unicode() <= 0x257F);
}

std::optional<QString> firstWord(const QString &line)
{
    qsizetype i = 0;
    while (i < line.size() && isSeparator(line.at(i)))
        ++i;
    qsizetype end = i;
    while (end < line.size() && !isSeparator(line.at(end)))
        ++end;
    if (end == i)
        return std::nullopt;
    return line.mid(i, end - i);
}

} // namespace

QString shortDeviceId(const QString &deviceId)
{
    return deviceId.left(12);
}

std::optional<QString> requestIdFromJson(const QString &output, const QString &deviceId)
{
    const QString shortId = shortDeviceId(deviceId);
    if (shortId.isEmpty())
        return std::nullopt;
    const QJsonDocument doc = parseJson(output);
    if (doc.isArray())
        return requestIdFromList(doc.array(), shortId);
    if (doc.isObject()) {
        const QJsonValue pending = doc.object().value(QLatin1String("pending"));
        if (pending.isArray())
            return requestIdFromList(pending.toArray(), shortId);
    }
    return std::nullopt;
}

std::optional<QString> requestIdFromLines(const QString &output, const QString &deviceId)
{
    const QString shortId = shortDeviceId(deviceId);
    static const QRegularExpression lineBreak(QStringLiteral("\\r\\n|\\r|\\n"));
    const QStringList lines = output.split(lineBreak);

    // A line naming this device is more specific than a line that merely
    // mentions pending requests (a "Pending (1)" heading, for example).
    if (!shortId.isEmpty()) {
        for (const QString &line : lines) {
            if (line.contains(shortId))
                return firstWord(line);
        }
    }
    for (const QString &line : lines) {
        if (line.toLower().contains(QLatin1String("pending")))
            return firstWord(line);
    }
    return std::nullopt;
}

std::optional<QString> findRequestId(const QString &output, const QString &deviceId)
{
    if (auto id = requestIdFromJson(output, deviceId))
        return id;
    // The tool's JSON object lists every pending request: when this device
    // is not among them, no line of it names the request either.
    const QJsonDocument doc = parseJson(output);
    if (doc.isObject() && doc.object().value(QLatin1String("pending")).isArray())
        return std::nullopt;
    return requestIdFromLines(output, deviceId);
}

} // namespace halvex::PairingRequestParser
