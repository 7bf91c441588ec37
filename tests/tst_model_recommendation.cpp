// The recommendation builder: its tables, the order of the list, the one
// recommended entry, and the naming and sizing rules behind them.
#include "models/model_recommendation.h"

#include <QTest>

using namespace halvex;
using Rec = ModelRecommendation;

namespace {

DetectedOllamaModel ollama(const QString &name, const QString &parameterSize)
{
    DetectedOllamaModel model;
    model.name = name;
    model.parameterSize = parameterSize;
    return model;
}

DetectedCloudProvider provider(const QString &id, const QString &displayName, QList<std::pair<QString, bool>> models)
{
    DetectedCloudProvider p;
    p.id = id;
    p.displayName = displayName;
    for (const auto &[modelId, reasoning] : models)
        p.models.append(DetectedCloudModel{modelId, modelId.toUpper(), id, 128000, reasoning});
    return p;
}

QStringList ids(const QList<Rec> &list)
{
    QStringList result;
    for (const Rec &r : list)
        result.append(r.id);
    return result;
}

int recommendedCount(const QList<Rec> &list)
{
    return int(std::count_if(list.begin(), list.end(), [](const Rec &r) { return r.isRecommended; }));
}

const QString kLocal = QStringLiteral("http://127.0.0.1:11434");

} // namespace

class TstModelRecommendation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void nothingDetectedGivesTheManagedTierAlone()
    {
        const QList<Rec> list = buildRecommendations({}, kLocal, {});
        QCOMPARE(list.size(), 1);
        const Rec &free = list.first();
        QCOMPARE(free.id, QStringLiteral("managed/free"));
        QCOMPARE(free.displayName, QStringLiteral("Halvex Free Tier"));
        QCOMPARE(free.description, QStringLiteral("20 messages/day. No setup needed."));
        QVERIFY(free.isRecommended);
        QCOMPARE(free.speedTier, Rec::SpeedTier::balanced);
        QCOMPARE(free.costTier, Rec::CostTier::free);
        QCOMPARE(free.contextWindow, 32000);
        QCOMPARE(free.maxTokens, 4096);
        QCOMPARE(free.category, Rec::Category::managed);
    }

    void theFullOrderAndEachKindsConstants()
    {
        const QList<DetectedOllamaModel> local = {ollama(QStringLiteral("big:70b"), QStringLiteral("70.6B")),
                                                  ollama(QStringLiteral("llama3.2:3b"), QStringLiteral("3.2B"))};
        // As detection sorts them: by display name.
        const QList<DetectedCloudProvider> cloud = {
            provider(QStringLiteral("anthropic"), QStringLiteral("Anthropic (Claude)"),
                     {{QStringLiteral("opus"), true}, {QStringLiteral("haiku"), false}}),
            provider(QStringLiteral("deep"), QStringLiteral("Deep"), {{QStringLiteral("r1"), true}}),
            provider(QStringLiteral("openai"), QStringLiteral("OpenAI"), {{QStringLiteral("gpt"), false}}),
            provider(QStringLiteral("xai"), QStringLiteral("xAI (Grok)"), {{QStringLiteral("grok"), false}}),
        };
        const QList<Rec> list = buildRecommendations(local, kLocal, cloud);
        QCOMPARE(ids(list), (QStringList{QStringLiteral("ollama/llama3.2:3b"), QStringLiteral("ollama/big:70b"),
                                         QStringLiteral("xai/grok"), QStringLiteral("openai/gpt"),
                                         QStringLiteral("anthropic/haiku"), QStringLiteral("anthropic/opus"),
                                         QStringLiteral("deep/r1"), QStringLiteral("managed/free")}));
        QCOMPARE(recommendedCount(list), 1);
        QVERIFY(list.at(0).isRecommended);

        const Rec &small = list.at(0);
        QCOMPARE(small.displayName, QStringLiteral("Llama3.2 3b"));
        QCOMPARE(std::tuple(small.speedTier, small.costTier, small.contextWindow, small.maxTokens, small.category),
                 std::tuple(Rec::SpeedTier::fast, Rec::CostTier::free, 8192, 2048, Rec::Category::local));
        QVERIFY(small.description.endsWith(QStringLiteral(". Free, fast, private.")));
        const Rec &larger = list.at(1);
        QCOMPARE(std::tuple(larger.speedTier, larger.costTier, larger.contextWindow, larger.maxTokens, larger.category),
                 std::tuple(Rec::SpeedTier::balanced, Rec::CostTier::free, 16384, 4096, Rec::Category::local));
        QVERIFY(larger.description.endsWith(QStringLiteral(". Free, higher quality, slower.")));
        const Rec &fast = list.at(2);
        QCOMPARE(fast.displayName, QStringLiteral("GROK"));
        QCOMPARE(fast.description, QStringLiteral("xAI (Grok) — fast responses, your API key."));
        // The configured 128000 is not used: voice wants a short context.
        QCOMPARE(std::tuple(fast.speedTier, fast.costTier, fast.contextWindow, fast.maxTokens, fast.category),
                 std::tuple(Rec::SpeedTier::fast, Rec::CostTier::byok, 32000, 4096, Rec::Category::cloud));
        const Rec &reasoning = list.at(5);
        QCOMPARE(reasoning.description, QStringLiteral("Anthropic (Claude) — deep reasoning, slower."));
        QCOMPARE(std::tuple(reasoning.speedTier, reasoning.costTier, reasoning.contextWindow, reasoning.maxTokens),
                 std::tuple(Rec::SpeedTier::deepThinking, Rec::CostTier::byok, 32000, 8192));

        QCOMPARE(buildRecommendations(local, kLocal, cloud), list); // pure
    }

    void theRecommendedEntryByRank()
    {
        const auto xai =
            provider(QStringLiteral("xai"), QStringLiteral("xAI (Grok)"), {{QStringLiteral("grok"), false}});
        const auto reasoner = provider(QStringLiteral("anthropic"), QStringLiteral("Anthropic (Claude)"),
                                       {{QStringLiteral("opus"), true}});
        const auto recommended = [](const QList<Rec> &list) {
            for (const Rec &r : list)
                if (r.isRecommended)
                    return r.id;
            return QString();
        };
        // A larger local model still beats any cloud model.
        QCOMPARE(
            recommended(buildRecommendations({ollama(QStringLiteral("big"), QStringLiteral("70B"))}, kLocal, {xai})),
            QStringLiteral("ollama/big"));
        QCOMPARE(recommended(buildRecommendations({}, kLocal, {reasoner, xai})), QStringLiteral("xai/grok"));
        QCOMPARE(recommended(buildRecommendations({}, kLocal, {reasoner})), QStringLiteral("anthropic/opus"));
    }

    void classifyBySize_data()
    {
        QTest::addColumn<QString>("parameterSize");
        QTest::addColumn<bool>("small");
        QTest::newRow("8B") << QStringLiteral("8B") << true;
        QTest::newRow("8.0 B") << QStringLiteral("8.0 B") << true;
        QTest::newRow("3.2b") << QStringLiteral("3.2b") << true;
        QTest::newRow("8.1B") << QStringLiteral("8.1B") << false;
        QTest::newRow("567M") << QStringLiteral("567M") << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("MoE 8x7B") << QStringLiteral("8x7B") << true; // first match is "7B"
    }

    void classifyBySize()
    {
        QFETCH(QString, parameterSize);
        QFETCH(bool, small);
        const auto [smalls, larger] = halvex::classifyBySize({ollama(QStringLiteral("m"), parameterSize)});
        QCOMPARE(smalls.size(), small ? 1 : 0);
        QCOMPARE(larger.size(), small ? 0 : 1);
    }

    void ollamaDisplayName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("display");
        QTest::newRow("quantised tag") << QStringLiteral("llama3.2:3b-instruct-q4_K_M")
                                       << QStringLiteral("Llama3.2 3b Instruct");
        QTest::newRow("no tag") << QStringLiteral("mistral") << QStringLiteral("Mistral");
        QTest::newRow("tag starts quantised") << QStringLiteral("qwen2:q8_0") << QStringLiteral("Qwen2");
        QTest::newRow("upper-case token kept") << QStringLiteral("phi3:mini-FP16") << QStringLiteral("Phi3 Mini FP16");
        QTest::newRow("q alone is a word") << QStringLiteral("x:q-chat") << QStringLiteral("X Q Chat");
        QTest::newRow("empty tokens dropped") << QStringLiteral("gemma:2b--it") << QStringLiteral("Gemma 2b It");
        QTest::newRow("no base") << QStringLiteral(":latest") << QStringLiteral("Latest");
    }

    void ollamaDisplayName()
    {
        QFETCH(QString, name);
        QFETCH(QString, display);
        QCOMPARE(halvex::ollamaDisplayName(name), display);
    }

    void hostLabelNamesTheMachine()
    {
        const QString here = halvex::hostLabel(kLocal);
        QCOMPARE(halvex::hostLabel(QStringLiteral("http://localhost:11434")), here);
        QCOMPARE(halvex::hostLabel(QStringLiteral("http://[::1]:11434")), here);
        QCOMPARE(halvex::hostLabel(QStringLiteral("not a url")), here);
        QCOMPARE(halvex::hostLabel(QStringLiteral("http://gpu-box.lan:11434")), QStringLiteral("gpu-box.lan"));
        const QList<Rec> list = buildRecommendations({ollama(QStringLiteral("m"), QStringLiteral("1B"))},
                                                     QStringLiteral("http://gpu-box.lan:11434"), {});
        QCOMPARE(list.first().description, QStringLiteral("Runs locally on gpu-box.lan. Free, fast, private."));
    }

    void rawValuesAndGrouping()
    {
        QCOMPARE(Rec::rawValue(Rec::SpeedTier::deepThinking), QStringLiteral("Deep Thinking"));
        QCOMPARE(Rec::rawValue(Rec::CostTier::byok), QStringLiteral("Bring Your Own Key"));
        QCOMPARE(Rec::rawValue(Rec::CostTier::paid), QStringLiteral("Paid"));
        QCOMPARE(Rec::rawValue(Rec::Category::local), QStringLiteral("Local Models"));
        QCOMPARE(Rec::allCategories().size(), 3);
        const auto groups = groupedByCategory(buildRecommendations(
            {}, kLocal,
            {provider(QStringLiteral("xai"), QStringLiteral("xAI (Grok)"), {{QStringLiteral("grok"), false}})}));
        QCOMPARE(groups.size(), 2); // no local group
        QCOMPARE(groups.at(0).category, Rec::Category::cloud);
        QCOMPARE(groups.at(1).category, Rec::Category::managed);
    }
};

QTEST_GUILESS_MAIN(TstModelRecommendation)
#include "tst_model_recommendation.moc"
