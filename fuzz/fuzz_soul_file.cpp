// The soul file and the relay's answer to a fetch: a decoded file encodes
// and decodes to the same file; a merge keeps everything that was there, in
// order, adds each new fact and preference once, and still encodes to a
// file that decodes the same.

#include "fuzz_support.h"

#include "memory/memory_extraction.h"
#include "memory/soul_file.h"
#include "platform/characters.h"

#include <QSet>
#include <QTimeZone>

using namespace halvex;

namespace {

void checkRoundTrip(const SoulFile &soul)
{
    const Result<SoulFile> again = SoulFile::decode(soul.encode());
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(*again == soul);
    const Result<SoulFile> fromObject = SoulFile::fromJson(soul.toJson());
    FUZZ_CHECK(fromObject.ok() && *fromObject == soul);
}

void checkMerged(const QStringList &before, const QStringList &added, const QStringList &after)
{
    FUZZ_CHECK(after.first(std::min(before.size(), after.size())) == before);
    for (const QString &item : added)
        FUZZ_CHECK(after.contains(item));
    // Only what was missing is appended, once.
    QSet<QString> seen(before.cbegin(), before.cend());
    for (qsizetype i = before.size(); i < after.size(); ++i) {
        FUZZ_CHECK(!seen.contains(after.at(i)));
        seen.insert(after.at(i));
    }
}

// The agent's answer about the user: within the limits, every entry trimmed
// and non-empty.
void checkExtraction(const QString &answer)
{
    const ExtractionLimits limits{40, 5};
    const std::optional<ExtractedFacts> facts = parseExtractionAnswer(answer, limits);
    if (!facts)
        return;
    for (const QStringList *list : {&facts->newFacts, &facts->newPreferences}) {
        FUZZ_CHECK(list->size() <= limits.maxEntriesPerList);
        for (const QString &entry : *list) {
            FUZZ_CHECK(!entry.isEmpty() && entry == entry.trimmed());
            FUZZ_CHECK(characterCount(entry) <= limits.maxEntryCharacters);
        }
    }
    if (facts->recentActivity) {
        FUZZ_CHECK(!facts->recentActivity->isEmpty());
        FUZZ_CHECK(characterCount(*facts->recentActivity) <= limits.maxEntryCharacters);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = fuzz::bytes(data, size);
    const Result<SoulFile> soul = SoulFile::decode(bytes);
    if (soul)
        checkRoundTrip(*soul);
    else
        FUZZ_CHECK(!soul.error().description().isEmpty());

    checkExtraction(QString::fromUtf8(bytes));

    const Result<SoulFileResponse> response = SoulFileResponse::decode(bytes);
    if (response && response->data)
        checkRoundTrip(*response->data);

    // The learnt facts: the lines after the document, "f:" facts, "p:"
    // preferences, "a:" the activity sentence.
    QStringList facts;
    QStringList preferences;
    std::optional<QString> activity;
    const QList<QByteArray> lines = bytes.split('\n');
    for (const QByteArray &line : lines) {
        const QString text = QString::fromUtf8(line.mid(2));
        if (line.startsWith("f:"))
            facts.append(text);
        else if (line.startsWith("p:"))
            preferences.append(text);
        else if (line.startsWith("a:"))
            activity = text;
    }
    const QDateTime now(QDate(2026, 12, 7), QTime(13, 5, 9, 250), QTimeZone::utc());
    const std::optional<SoulFile> existing = soul ? std::optional<SoulFile>(*soul) : std::nullopt;
    const SoulFile merged = mergeSoulFile(existing, facts, preferences, activity, now);
    const Relationship before = existing ? existing->relationship : Relationship{};
    checkMerged(before.facts, facts, merged.relationship.facts);
    checkMerged(before.preferences, preferences, merged.relationship.preferences);
    const qsizetype episodes = existing ? existing->episodes.size() : 0;
    FUZZ_CHECK(merged.episodes.size() == episodes + (activity ? 1 : 0));
    FUZZ_CHECK(merged.relationship.lastUpdated == QStringLiteral("2026-12-07T13:05:09Z"));
    checkRoundTrip(merged);
    return 0;
}
