#include "discovery/openclaw_tool_output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <limits>

namespace halvex {

namespace {

QString trimSpacesAndTabs(const QString &line)
{
    qsizetype start = 0;
    qsizetype end = line.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (start < end && blank(line.at(start)))
        ++start;
    while (end > start && blank(line.at(end - 1)))
        --end;
    return line.mid(start, end - start);
}

} // namespace

std::optional<QStringList> agentsFromJsonListing(const QString &text)
{
    // Tools sometimes print a notice before the JSON; the array starts at
    // the first line that opens one.
    qsizetype start = text.startsWith(u'[') ? 0 : text.indexOf(QLatin1String("\n["));
    if (start < 0)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.mid(start).toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        return std::nullopt;
    QStringList ids;
    for (const QJsonArray elements = document.array(); const QJsonValue &entry : elements) {
        const QJsonValue id = entry.toObject().value(QLatin1String("id"));
        if (id.isString() && !id.toString().isEmpty())
            ids.append(id.toString());
    }
    return ids;
}

QStringList agentsFromPlainListing(const QString &text)
{
    QStringList lines;
    bool marked = false;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        QString line = raw;
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.startsWith(QLatin1String("- ")))
            marked = true;
        lines.append(line);
    }
    QStringList names;
    for (const QString &line : std::as_const(lines)) {
        if (!marked) {
            const QString name = trimSpacesAndTabs(line);
            if (!name.isEmpty())
                names.append(name);
            continue;
        }
        if (!line.startsWith(QLatin1String("- ")))
            continue;
        QString name = trimSpacesAndTabs(line.mid(2));
        // "main (default)", "mobile (Mobile)": the id is the first word.
        const qsizetype space = name.indexOf(u' ');
        if (space > 0)
            name.truncate(space);
        if (!name.isEmpty())
            names.append(name);
    }
    return names;
}

std::optional<int> parseDecimalInteger(const QString &text)
{
    QStringView digits(text);
    bool negative = false;
    if (digits.startsWith(u'+') || digits.startsWith(u'-')) {
        negative = digits.startsWith(u'-');
        digits = digits.mid(1);
    }
    if (digits.isEmpty())
        return std::nullopt;
    qint64 value = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            return std::nullopt;
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min())
        return std::nullopt;
    return int(value);
}

QString firstLine(const QString &text)
{
    for (const QString &raw : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString line = raw.trimmed();
        if (!line.isEmpty())
            return line;
    }
    return {};
}

} // namespace halvex
