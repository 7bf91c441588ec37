#include "memory/memory_extraction.h"

#include "platform/characters.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace halvex {

namespace {

// The prompt's fixed text; the existing facts go between the two halves.
const char kPromptHead[] = "This is a system memory sync request, not a user message. Do not treat this as "
                           "conversation.\n\nReturn a JSON object summarizing what you know about the user from your "
                           "conversations.\n\nEXISTING KNOWN FACTS (do NOT repeat these):\n- ";

const char kPromptTail[] =
    "\n\nReturn ONLY valid JSON in this exact format, with no other text before or after:\n"
    "{\n"
    "  \"new_facts\": [\"fact 1\", \"fact 2\"],\n"
    "  \"new_preferences\": [\"preference 1\"],\n"
    "  \"recent_activity\": \"One sentence about what the user has been working on recently, or null\"\n"
    "}\n\n"
    "Rules:\n"
    "- new_facts: Short statements (under 15 words each) about the user \u2014 name, location, job, hobbies, family, "
    "projects, etc.\n"
    "- new_preferences: Communication style, interests, likes/dislikes.\n"
    "- ONLY include facts NOT already in the existing list. If nothing is new, return empty arrays.\n"
    "- recent_activity: A single sentence about what they've been doing lately, or null.\n"
    "- If you don't know anything about the user, return empty arrays and null.";

// A trimmed entry, cut to the length limit; nothing when it is empty.
std::optional<QString> cleanEntry(const QString &raw, const ExtractionLimits &limits)
{
    QString entry = raw.trimmed();
    if (entry.isEmpty())
        return std::nullopt;
    if (characterCount(entry) > limits.maxEntryCharacters)
        entry = firstCharacters(entry, limits.maxEntryCharacters).trimmed();
    return entry;
}

// The strings of an array member, cleaned and capped; empty when the member
// is absent or not an array of strings.
QStringList stringList(const QJsonObject &object, const QString &key, const ExtractionLimits &limits)
{
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        return {};
    const QJsonArray array = value.toArray();
    for (const QJsonValue &element : array) {
        if (!element.isString())
            return {};
    }
    QStringList entries;
    for (const QJsonValue &element : array) {
        if (entries.size() >= limits.maxEntriesPerList)
            break;
        if (const std::optional<QString> entry = cleanEntry(element.toString(), limits))
            entries.append(*entry);
    }
    return entries;
}

} // namespace

QString memorySyncPrompt(const QStringList &existingFacts)
{
    QString joined = existingFacts.join(QStringLiteral("\n- "));
    if (joined.isEmpty())
        joined = QStringLiteral("(none yet)");
    return QString::fromUtf8(kPromptHead) + joined + QString::fromUtf8(kPromptTail);
}

std::optional<ExtractedFacts> parseExtractionAnswer(const QString &answer, const ExtractionLimits &limits)
{
    QString text = answer;
    text.remove(QStringLiteral("```json"));
    text.remove(QStringLiteral("```"));
    text = text.trimmed();
    const qsizetype brace = text.indexOf(QLatin1Char('{'));
    const qsizetype bracket = text.indexOf(QLatin1Char('['));
    qsizetype start = -1;
    if (brace >= 0 && bracket >= 0)
        start = qMin(brace, bracket);
    else
        start = qMax(brace, bracket);
    if (start > 0)
        text = text.mid(start);

    const QByteArray utf8 = text.toUtf8();
    QJsonParseError parseError;
    QJsonDocument document = QJsonDocument::fromJson(utf8, &parseError);
    // Models like to close with a remark after the object; the object alone counts.
    if (parseError.error == QJsonParseError::GarbageAtEnd)
        document = QJsonDocument::fromJson(utf8.left(parseError.offset), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;

    const QJsonObject object = document.object();
    ExtractedFacts facts;
    facts.newFacts = stringList(object, QStringLiteral("new_facts"), limits);
    facts.newPreferences = stringList(object, QStringLiteral("new_preferences"), limits);
    const QJsonValue activity = object.value(QLatin1String("recent_activity"));
    if (activity.isString())
        facts.recentActivity = cleanEntry(activity.toString(), limits);
    return facts;
}

} // namespace halvex
