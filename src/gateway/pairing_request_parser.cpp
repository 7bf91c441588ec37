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

// Whether a listing's device field names this device: the full id, or a
// prefix of it of at least the short id's length (never a mere substring,
// which another device's id could hold).
bool namesDevice(const QString &candidate, const QString &deviceId)
{
    if (candidate.size() < shortDeviceId(deviceId).size() || candidate.isEmpty())
        return false;
    return deviceId.startsWith(candidate, Qt::CaseInsensitive);
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

std::optional<QStringList> pendingRequestIdsFromJson(const QString &output, const QString &deviceId)
{
    const QJsonDocument doc = parseJson(output);
    QJsonArray list;
    if (doc.isArray())
        list = doc.array();
    else if (doc.isObject() && doc.object().value(QLatin1String("pending")).isArray())
        list = doc.object().value(QLatin1String("pending")).toArray();
    else
        return std::nullopt;
    QStringList ids;
    for (const QJsonValue &entry : std::as_const(list)) {
        const QJsonObject object = entry.toObject();
        const QString device = object.value(QLatin1String("deviceId")).isString() ? stringMember(object, "deviceId")
                                                                                  : stringMember(object, "id");
        if (!namesDevice(device, deviceId))
            continue;
        const QString id = object.value(QLatin1String("requestId")).isString() ? stringMember(object, "requestId")
                                                                               : stringMember(object, "id");
        if (!id.isEmpty())
            ids.append(id);
    }
    return ids;
}

std::optional<QString> requestIdFromLines(const QString &output, const QString &deviceId)
{
    const QString shortId = shortDeviceId(deviceId);
    if (shortId.size() < 12)
        return std::nullopt;
    static const QRegularExpression lineBreak(QStringLiteral("\\r\\n|\\r|\\n"));
    // Only a line naming this device: a line that merely mentions pending
    // requests may well be another device's.
    for (const QString &line : output.split(lineBreak)) {
        if (line.contains(shortId, Qt::CaseInsensitive))
            return firstWord(line);
    }
    return std::nullopt;
}

} // namespace halvex::PairingRequestParser
