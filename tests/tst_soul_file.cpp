// The soul file's JSON form (strict decode, optional members omitted on
// encode), the merge rule, the extraction prompt and the lenient reading of
// the agent's answer.
#include "memory/memory_extraction.h"
#include "memory/soul_file.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace halvex;

namespace {

QJsonObject fullFile()
{
    return QJsonDocument::fromJson(R"({
        "version": "1.2", "avatar_id": "global",
        "relationship": {"user_name": "Ada", "facts": ["Lives in Lyon"], "preferences": ["Short answers"],
                         "last_updated": "2026-12-01T08:00:00Z", "mood": "ignored"},
        "episodes": [{"date": "2026-12-01", "summary": "Planned a trip."}],
        "metadata": {"total_sessions": 4, "total_messages": 52},
        "extra": true})")
        .object();
}

QByteArray withMember(const QString &path, const QJsonValue &value)
{
    QJsonObject file = fullFile();
    const QStringList keys = path.split(QLatin1Char('.'));
    if (keys.size() == 1) {
        if (value.isUndefined())
            file.remove(keys[0]);
        else
            file.insert(keys[0], value);
    } else {
        QJsonObject inner = file.value(keys[0]).toObject();
        if (value.isUndefined())
            inner.remove(keys[1]);
        else
            inner.insert(keys[1], value);
        file.insert(keys[0], inner);
    }
    return QJsonDocument(file).toJson();
}

template <typename T>
QString failureOf(const Result<T> &result)
{
    return result.ok() ? QString() : result.error().description();
}

const QDateTime kNow = QDateTime(QDate(2026, 12, 6), QTime(12, 37, 22, 450), Qt::UTC);

} // namespace

class TstSoulFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void responseWithoutFileHasNone()
    {
        const Result<SoulFileResponse> response = SoulFileResponse::decode(R"({"found": false})");
        QVERIFY(response.ok());
        QVERIFY(!response->found);
        QVERIFY(!response->data);

        const Result<SoulFileResponse> stored = SoulFileResponse::decode(
            QByteArrayLiteral(R"({"found": true, "updated_at": "2026-12-06T10:00:00Z", "data": )") +
            QJsonDocument(fullFile()).toJson() + "}");
        QVERIFY2(stored.ok(), qPrintable(failureOf(stored)));
        QVERIFY(stored->data);
        QCOMPARE(stored->data->relationship.userName, QStringLiteral("Ada"));
        QCOMPARE(stored->updatedAt, QStringLiteral("2026-12-06T10:00:00Z"));
    }

    void decodeIsStrict_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::newRow("complete, unknown keys") << QJsonDocument(fullFile()).toJson() << true;
        QTest::newRow("no user_name") << withMember(QStringLiteral("relationship.user_name"), {}) << true;
        QTest::newRow("no last_updated") << withMember(QStringLiteral("relationship.last_updated"), {}) << true;
        QTest::newRow("null user_name") << withMember(QStringLiteral("relationship.user_name"), QJsonValue::Null)
                                        << true;
        QTest::newRow("no counts") << withMember(QStringLiteral("metadata"), QJsonObject{}) << true;
        QTest::newRow("no facts") << withMember(QStringLiteral("relationship.facts"), {}) << false;
        QTest::newRow("no preferences") << withMember(QStringLiteral("relationship.preferences"), {}) << false;
        QTest::newRow("fact not a string") << withMember(QStringLiteral("relationship.facts"), QJsonArray{1}) << false;
        QTest::newRow("user_name a number") << withMember(QStringLiteral("relationship.user_name"), 3) << false;
        QTest::newRow("no version") << withMember(QStringLiteral("version"), {}) << false;
        QTest::newRow("version a number") << withMember(QStringLiteral("version"), 1.0) << false;
        QTest::newRow("no avatar_id") << withMember(QStringLiteral("avatar_id"), {}) << false;
        QTest::newRow("no episodes") << withMember(QStringLiteral("episodes"), {}) << false;
        QTest::newRow("episode without summary")
            << withMember(QStringLiteral("episodes"),
                          QJsonArray{QJsonObject{{QStringLiteral("date"), QStringLiteral("x")}}})
            << false;
        QTest::newRow("episode not an object") << withMember(QStringLiteral("episodes"), QJsonArray{1}) << false;
        QTest::newRow("no metadata") << withMember(QStringLiteral("metadata"), {}) << false;
        QTest::newRow("fractional count") << withMember(QStringLiteral("metadata.total_sessions"), 1.5) << false;
        QTest::newRow("count as text") << withMember(QStringLiteral("metadata.total_messages"), QStringLiteral("3"))
                                       << false;
        QTest::newRow("not JSON") << QByteArray("{\"version\":") << false;
        QTest::newRow("array") << QByteArray("[]") << false;
    }

    void decodeIsStrict()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const Result<SoulFile> file = SoulFile::decode(json);
        QCOMPARE(file.ok(), decodes);
        if (!decodes)
            QVERIFY(file.error().description().startsWith(QStringLiteral("The soul file could not be read: ")));

        // Inside the relay's envelope a bad file fails the whole answer.
        const Result<SoulFileResponse> response =
            SoulFileResponse::decode(QByteArrayLiteral("{\"found\": true, \"data\": ") + json + "}");
        QCOMPARE(response.ok(), decodes);
    }

    void envelopeIsStrict()
    {
        QVERIFY(!SoulFileResponse::decode(R"({"data": null})").ok());
        QVERIFY(!SoulFileResponse::decode(R"({"found": "yes"})").ok());
        QVERIFY(!SoulFileResponse::decode(R"({"found": true, "data": "text"})").ok());
        QVERIFY(!SoulFileResponse::decode(R"({"found": true, "updated_at": 5})").ok());
        QVERIFY(SoulFileResponse::decode(R"({"found": true, "data": null})").ok());
    }

    void encodeOmitsAbsentMembers()
    {
        SoulFile file = mergeSoulFile(std::nullopt, {}, {}, std::nullopt, kNow);
        file.relationship.lastUpdated.reset();
        const QJsonObject json = QJsonDocument::fromJson(file.encode()).object();
        const QJsonObject relationship = json.value(QLatin1String("relationship")).toObject();
        QVERIFY(!relationship.contains(QLatin1String("user_name")));
        QVERIFY(!relationship.contains(QLatin1String("last_updated")));
        QVERIFY(relationship.value(QLatin1String("facts")).isArray());
        QVERIFY(relationship.value(QLatin1String("preferences")).isArray());
        QCOMPARE(json.value(QLatin1String("metadata")).toObject(), QJsonObject{});
        QVERIFY(json.value(QLatin1String("episodes")).isArray());

        // Everything a decoded file holds survives a round trip.
        const Result<SoulFile> decoded = SoulFile::decode(QJsonDocument(fullFile()).toJson());
        QVERIFY(decoded.ok());
        const Result<SoulFile> again = SoulFile::decode(decoded->encode());
        QVERIFY(again.ok());
        QCOMPARE(*again, *decoded);
        QCOMPARE(QJsonDocument::fromJson(decoded->encode()).object().value(QLatin1String("metadata")).toObject(),
                 (QJsonObject{{QStringLiteral("total_sessions"), 4}, {QStringLiteral("total_messages"), 52}}));
    }

    void mergeIntoNothingStartsANewFile()
    {
        const SoulFile file = mergeSoulFile(std::nullopt, {QStringLiteral("Has a cat"), QStringLiteral("Has a cat")},
                                            {QStringLiteral("Likes jazz")}, std::nullopt, kNow);
        QCOMPARE(file.version, QStringLiteral("1.0"));
        QCOMPARE(file.avatarId, QStringLiteral("global"));
        QCOMPARE(file.relationship.facts, QStringList{QStringLiteral("Has a cat")});
        QCOMPARE(file.relationship.preferences, QStringList{QStringLiteral("Likes jazz")});
        QCOMPARE(file.relationship.lastUpdated, QStringLiteral("2026-12-06T12:37:22Z"));
        QVERIFY(!file.relationship.userName);
        QVERIFY(file.episodes.isEmpty());
        QCOMPARE(file.metadata, SoulFileMetadata{});
    }

    void mergeAppendsAndKeepsEverything()
    {
        const SoulFile existing = *SoulFile::decode(QJsonDocument(fullFile()).toJson());
        const SoulFile once = mergeSoulFile(
            existing, {QStringLiteral("Lives in Lyon"), QStringLiteral("lives in lyon")},
            {QStringLiteral("Short answers"), QStringLiteral("Dark mode")}, QStringLiteral("Wrote a bridge."), kNow);
        QCOMPARE(once.relationship.facts,
                 (QStringList{QStringLiteral("Lives in Lyon"), QStringLiteral("lives in lyon")}));
        QCOMPARE(once.relationship.preferences,
                 (QStringList{QStringLiteral("Short answers"), QStringLiteral("Dark mode")}));
        QCOMPARE(once.version, QStringLiteral("1.2"));
        QCOMPARE(once.relationship.userName, QStringLiteral("Ada"));
        QCOMPARE(once.metadata, existing.metadata);
        QCOMPARE(once.episodes.size(), 2);
        QCOMPARE(once.episodes.last(), (Episode{QStringLiteral("2026-12-06"), QStringLiteral("Wrote a bridge.")}));

        // A second sync on the same day adds a second episode; with nothing
        // new only the time changes.
        const SoulFile twice = mergeSoulFile(once, {}, {}, QStringLiteral("Wrote a bridge."), kNow.addSecs(60));
        QCOMPARE(twice.episodes.size(), 3);
        const SoulFile idle = mergeSoulFile(twice, {}, {}, std::nullopt, kNow.addSecs(120));
        QCOMPARE(idle.relationship.facts, twice.relationship.facts);
        QCOMPARE(idle.episodes, twice.episodes);
        QCOMPARE(idle.relationship.lastUpdated, QStringLiteral("2026-12-06T12:39:22Z"));
    }

    // A merge keeps the file within its bound, dropping the oldest entries of
    // the list that takes the most room; what is kept is the newest part.
    void mergeKeepsTheFileWithinItsBound_data()
    {
        QTest::addColumn<int>("factCount");
        QTest::addColumn<int>("factLength");
        QTest::addColumn<int>("episodeCount");
        QTest::addColumn<qsizetype>("maxBytes");
        QTest::addColumn<bool>("factsDropped");
        QTest::addColumn<bool>("episodesDropped");
        QTest::newRow("within the bound") << 5 << 40 << 5 << qsizetype(4096) << false << false;
        QTest::newRow("facts take the room") << 200 << 40 << 2 << qsizetype(4096) << true << false;
        QTest::newRow("episodes take the room") << 3 << 20 << 200 << qsizetype(4096) << false << true;
        QTest::newRow("both grew") << 200 << 40 << 200 << qsizetype(4096) << true << true;
        QTest::newRow("the program's bound") << 3000 << 1000 << 10 << kMaxSoulFileBytes << true << false;
    }

    void mergeKeepsTheFileWithinItsBound()
    {
        QFETCH(int, factCount);
        QFETCH(int, factLength);
        QFETCH(int, episodeCount);
        QFETCH(qsizetype, maxBytes);
        QFETCH(bool, factsDropped);
        QFETCH(bool, episodesDropped);
        SoulFile existing = mergeSoulFile(std::nullopt, {}, {QStringLiteral("Dark mode")}, std::nullopt, kNow);
        for (int i = 0; i < factCount; ++i) // two bytes per "é" in UTF-8
            existing.relationship.facts << QStringLiteral("%1 ").arg(i) + QString(factLength, QChar(0xe9));
        for (int i = 0; i < episodeCount; ++i)
            existing.episodes << Episode{QStringLiteral("2026-11-01"),
                                         QStringLiteral("Episode %1 of a long week.").arg(i)};
        const QString newFact = QStringLiteral("Has a cat");
        const SoulFile merged = mergeSoulFile(existing, {newFact}, {}, QStringLiteral("Fixed a bike."), kNow, maxBytes);

        QVERIFY2(merged.encode().size() <= maxBytes, QByteArray::number(merged.encode().size()).constData());
        const QStringList allFacts = existing.relationship.facts + QStringList{newFact};
        const QList<Episode> allEpisodes =
            existing.episodes + QList<Episode>{Episode{QStringLiteral("2026-12-06"), QStringLiteral("Fixed a bike.")}};
        QCOMPARE(merged.relationship.facts, allFacts.mid(allFacts.size() - merged.relationship.facts.size()));
        QCOMPARE(merged.episodes, allEpisodes.mid(allEpisodes.size() - merged.episodes.size()));
        QCOMPARE(merged.relationship.facts.size() < allFacts.size(), factsDropped);
        QCOMPARE(merged.episodes.size() < allEpisodes.size(), episodesDropped);
        QCOMPARE(merged.relationship.facts.last(), newFact);
        QCOMPARE(merged.relationship.preferences, QStringList{QStringLiteral("Dark mode")});
        QCOMPARE(merged.relationship.lastUpdated, QStringLiteral("2026-12-06T12:37:22Z"));
    }

    void promptIsExact()
    {
        const QByteArray none = memorySyncPrompt({}).toUtf8();
        const qsizetype at = none.indexOf("(none yet)");
        QCOMPARE(at, 228);
        const QByteArray tail = none.mid(at + 10);
        QCOMPARE(tail.size(), 709);
        QVERIFY(none.startsWith("This is a system memory sync request, not a user message."));
        QVERIFY(none.endsWith("return empty arrays and null."));
        QVERIFY(tail.contains("about the user \xE2\x80\x94 name, location"));
        QVERIFY(none.left(at).endsWith("conversations.\n\nEXISTING KNOWN FACTS (do NOT repeat these):\n- "));

        const QByteArray two = memorySyncPrompt({QStringLiteral("Has a cat"), QStringLiteral("Likes tea")}).toUtf8();
        QCOMPARE(two, none.left(228) + "Has a cat\n- Likes tea" + tail);
    }

    void answersAreReadLeniently_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("parses");
        QTest::addColumn<QStringList>("facts");
        QTest::addColumn<QStringList>("preferences");
        QTest::addColumn<QString>("activity"); // empty: none

        const QString object = QStringLiteral(
            R"({"new_facts": ["Has a cat"], "new_preferences": ["Likes tea"], "recent_activity": "Built a shed."})");
        const QStringList cat{QStringLiteral("Has a cat")};
        const QStringList tea{QStringLiteral("Likes tea")};
        const QString shed = QStringLiteral("Built a shed.");
        QTest::newRow("plain") << object << true << cat << tea << shed;
        QTest::newRow("fenced json") << QStringLiteral("```json\n") + object + QStringLiteral("\n```") << true << cat
                                     << tea << shed;
        QTest::newRow("prose before") << QStringLiteral("Sure! Here is what I know:\n\n") + object << true << cat << tea
                                      << shed;
        QTest::newRow("prose after") << object + QStringLiteral("\nLet me know if you need more.") << true << cat << tea
                                     << shed;
        QTest::newRow("nulls") << QStringLiteral(
                                      R"({"new_facts": null, "new_preferences": [], "recent_activity": null})")
                               << true << QStringList() << QStringList() << QString();
        QTest::newRow("wrong types") << QStringLiteral(R"({"new_facts": "a cat", "new_preferences": ["x", 3],
                                                        "recent_activity": 7})")
                                     << true << QStringList() << QStringList() << QString();
        QTest::newRow("trimmed, empties dropped")
            << QStringLiteral(R"({"new_facts": ["  Has a cat \n", "", "   "], "recent_activity": "  "})") << true << cat
            << QStringList() << QString();
        QTest::newRow("garbage") << QStringLiteral("I don't know anything about the user.") << false << QStringList()
                                 << QStringList() << QString();
        QTest::newRow("broken object") << QStringLiteral(R"({"new_facts": ["a")") << false << QStringList()
                                       << QStringList() << QString();
        QTest::newRow("array at top") << QStringLiteral(R"(["Has a cat"])") << false << QStringList() << QStringList()
                                      << QString();
        QTest::newRow("empty") << QString() << false << QStringList() << QStringList() << QString();
    }

    void answersAreReadLeniently()
    {
        QFETCH(QString, answer);
        QFETCH(bool, parses);
        QFETCH(QStringList, facts);
        QFETCH(QStringList, preferences);
        QFETCH(QString, activity);
        const std::optional<ExtractedFacts> read = parseExtractionAnswer(answer);
        QCOMPARE(bool(read), parses);
        if (!read)
            return;
        QCOMPARE(read->newFacts, facts);
        QCOMPARE(read->newPreferences, preferences);
        QCOMPARE(read->recentActivity.value_or(QString()), activity);
    }

    void ramblingAnswersAreCut()
    {
        QJsonArray many;
        for (int i = 0; i < 150; ++i)
            many.append(QStringLiteral("Fact %1").arg(i));
        const QString longFact = QString(600, QLatin1Char('x'));
        const QJsonObject answer{{QStringLiteral("new_facts"), many},
                                 {QStringLiteral("new_preferences"), QJsonArray{longFact}},
                                 {QStringLiteral("recent_activity"), longFact}};
        const std::optional<ExtractedFacts> read =
            parseExtractionAnswer(QString::fromUtf8(QJsonDocument(answer).toJson()));
        QVERIFY(read);
        QCOMPARE(read->newFacts.size(), 100);
        QCOMPARE(read->newFacts.last(), QStringLiteral("Fact 99"));
        QCOMPARE(read->newPreferences, QStringList{QString(500, QLatin1Char('x'))});
        QCOMPARE(read->recentActivity, QString(500, QLatin1Char('x')));
    }
};

QTEST_GUILESS_MAIN(TstSoulFile)
#include "tst_soul_file.moc"
