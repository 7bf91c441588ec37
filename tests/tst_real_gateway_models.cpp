// The mobile model chosen from the terminal reaches a running OpenClaw
// gateway: the writer puts a new model served by the Ollama stand-in into
// the gateway's live configuration (validated by that release's own tool),
// the gateway applies it without a restart, and the next chat through the
// bridge's HTTP client is answered by that model.
#include "gateway/openclaw_client.h"
#include "models/provider_detection_service.h"

#include "ollama_stand_in.h"
#include "openclaw_gateway.h"
#include "wait_for_result.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kChatWait = 240000;

ChatMessages hello()
{
    return {ChatMessage{{QStringLiteral("role"), QStringLiteral("user")},
                        {QStringLiteral("content"), QStringLiteral("Say hello.")}}};
}

} // namespace

class TstRealGatewayModels : public QObject
{
    Q_OBJECT

    QNetworkAccessManager m_network;

private Q_SLOTS:
    void aNewMobileModelAnswersTheNextChat_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("mobileAgent"); // false: a stock installation
        QTest::newRow("2026.9.6") << QStringLiteral("2026.9.6") << true;
        QTest::newRow("2026.9.6 stock, no mobile agent") << QStringLiteral("2026.9.6") << false;
        QTest::newRow("2026.5.7") << QStringLiteral("2026.5.7") << true;
    }

    void aNewMobileModelAnswersTheNextChat()
    {
        QFETCH(QString, version);
        QFETCH(bool, mobileAgent);
        HALVEX_REQUIRE_OPENCLAW_VERSION(version);

        OllamaStandIn ollama;
        ollama.setModels({{QStringLiteral("llama3.2:3b"), 2019393189, QStringLiteral("3.2B")}});
        ollama.setAnswer(QStringLiteral("Hello from the local model."));
        QVERIFY(ollama.listen());

        OpenClawGateway gateway(version);
        OpenClawGateway::Options options;
        options.mobileAgent = mobileAgent;
        QVERIFY2(gateway.start(options), qPrintable(gateway.errorString()));

        ProviderDetectionService::Dependencies deps;
        deps.network = &m_network;
        deps.homeDirectory = gateway.homeDir();
        deps.localOllamaHost = ollama.baseUrl();
        deps.validator =
            openClawConfigValidator(OpenClawGateway::nodePath(version), {OpenClawGateway::openclawScript(version)});
        ProviderDetectionService service(deps);
        QCoro::waitFor(service.detectAll());
        QVERIFY(service.ollamaReachable());
        QCOMPARE(service.currentMobileModel().has_value(), mobileAgent);

        const qsizetype logMark = gateway.log().size();
        const Result<ConfigEdit> edit =
            waitForResult(service.setMobileModel(QStringLiteral("ollama/llama3.2:3b"), 8192, 2048));
        QVERIFY2(edit.ok(), edit ? "" : qPrintable(edit.error().description()));
        QCOMPARE(edit->createdMobileAgent, !mobileAgent);
        // The gateway picks the change up by itself.
        QVERIFY2(gateway.waitForLog("reload", 60000, logMark), gateway.log().mid(logMark).right(3000).constData());

        OpenClawClient client(&m_network, gateway.httpUrl(), gateway.token(),
                              OpenClawClient::Timings{kChatWait, 30000});
        std::optional<Result<QString>> answer;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                // A reload may still be settling: ask again until the new model answers.
                answer = waitForResult(client.sendChat(hello()));
                return answer->ok() && **answer == QStringLiteral("Hello from the local model.");
            }(),
            kChatWait);
        const QList<HttpRequest> chats = ollama.chatRequests();
        QVERIFY(!chats.isEmpty());
        QCOMPARE(chats.last().json().value(QStringLiteral("model")).toString(), QStringLiteral("llama3.2:3b"));
        qInfo("OpenClaw %s asked the Ollama stand-in at %s", qPrintable(version), chats.last().path().constData());
        gateway.stop();
    }
};

QTEST_GUILESS_MAIN(TstRealGatewayModels)
#include "tst_real_gateway_models.moc"
