// The Mobile Model, OpenClaw settings, account settings and QR code windows,
// driven as a user would against the relay account stand-in, the gateway
// stand-in and the Ollama stand-in; and every menu item opening its window.
#include "wait_for_result.h"
#include "wizard_rig.h"

#include "app/tray_controller.h"
#include "views/account_settings_view.h"
#include "views/model_list_widget.h"
#include "views/model_selection_view.h"
#include "views/openclaw_settings_view.h"
#include "views/qr_code_window_view.h"
#include "views/setup_wizard_view.h"

#include "platform/net/tls_pin.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QPushButton>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 30000;

} // namespace

// A gateway elsewhere over TLS, with a self-signed certificate of its own:
// answers GET /healthz 200 and records every request line it decrypts.
class TlsHealthServer : public QTcpServer
{
public:
    TlsHealthServer()
    {
        const auto read = [](const char *name) {
            QFile file(QStringLiteral(HALVEX_SOURCE_DIR "/tests/data/tls/") + QLatin1String(name));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        certificate = QSslCertificate(read("gateway-a-cert.pem"));
        m_tls.setLocalCertificate(certificate);
        m_tls.setPrivateKey(QSslKey(read("gateway-a-key.pem"), QSsl::Rsa));
        listen(QHostAddress::LocalHost);
    }
    QUrl url() const { return QUrl(QStringLiteral("https://127.0.0.1:%1").arg(serverPort())); }
    QSslCertificate certificate;
    QList<QByteArray> requests;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        socket->setSslConfiguration(m_tls);
        connect(socket, &QSslSocket::readyRead, this, [this, socket] {
            const QByteArray bytes = socket->readAll();
            requests.append(bytes.left(bytes.indexOf('\r')));
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
            socket->disconnectFromHost();
        });
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        socket->startServerEncryption();
    }

private:
    QSslConfiguration m_tls = QSslConfiguration::defaultConfiguration();
};

class TestSettingsWindows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void mobileModelWindow()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        rig.ollama.setModels({{QStringLiteral("llama3.2:3b"), 2000000000, QStringLiteral("3.2B"), 8192},
                              {QStringLiteral("qwen2.5:7b"), 4000000000, QStringLiteral("7B"), 32000}});
        // The configured model is the larger one; the recommendation is the smaller.
        QDir().mkpath(rig.bridge.home.filePath(QStringLiteral(".openclaw")));
        QFile file(openClawConfigPath(rig.bridge.home.path()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"agents": {"list": [{"id": "main", "default": true},
                     {"id": "mobile", "model": {"primary": "ollama/qwen2.5:7b"}}]},
                     "models": {"providers": {"openai": {"apiKey": "sk-1", "models": [{"id": "gpt-fast"}]}}}})");
        file.close();

        ModelSelectionView window(rig.services, ModelSelectionView::Timings{std::chrono::milliseconds(50)});
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(window.isLoaded(), kWait);
        QCOMPARE(window.currentLine(), QStringLiteral("Currently using: ollama/qwen2.5:7b"));
        QCOMPARE(window.selectedModelId(), std::optional<QString>(QStringLiteral("ollama/qwen2.5:7b")));
        QVERIFY(window.list()->selected()->isRecommended == false);
        QVERIFY(window.list()->currentItem()->text().contains(QLatin1String("Current")));
        QVERIFY(window.list()->currentItem()->text().contains(QLatin1String("Mobile-optimized: ")));

        // A cloud entry is not tested: 0 ms, nothing sent.
        const QList<QListWidgetItem *> cloud = window.list()->findItems(QStringLiteral("gpt-fast"), Qt::MatchContains);
        QVERIFY(!cloud.isEmpty());
        window.list()->setCurrentItem(cloud.first());
        QVERIFY(window.list()->selected());
        QCOMPARE(window.list()->selected()->category, ModelRecommendation::Category::cloud);
        QCOMPARE(window.selectedModelId(), std::optional<QString>(window.list()->selected()->id));
        CLICK(&window, "Test Connection");
        QCOMPARE(window.testText(), QStringLiteral("✓ 0ms"));
        QCOMPARE(rig.ollama.chatRequests().size(), 0);

        // A local one answers with its latency; a 404 is reported as such.
        const QList<QListWidgetItem *> local = window.list()->findItems(QStringLiteral("Llama3.2"), Qt::MatchContains);
        QVERIFY(!local.isEmpty());
        window.list()->setCurrentItem(local.first());
        CLICK(&window, "Test Connection");
        QTRY_VERIFY_WITH_TIMEOUT(window.testText().endsWith(QLatin1String("ms")) &&
                                     window.testText().startsWith(QStringLiteral("✓")),
                                 kWait);
        QCOMPARE(rig.ollama.chatRequests().constLast().json().value(QStringLiteral("model")).toString(),
                 QStringLiteral("llama3.2:3b"));
        rig.ollama.server()->enqueue(ScriptedResponse::json(404, QByteArray("{}")),
                                     QByteArrayLiteral("/v1/chat/completions"));
        CLICK(&window, "Test Connection");
        QTRY_COMPARE_WITH_TIMEOUT(window.testText(), QStringLiteral("✗ HTTP 404"), kWait);

        // Before "Save" the window shows what saving would change, checked
        // by the writer and without touching the file.
        const QByteArray unchanged = rig.openClawConfig();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isPreviewing(), kWait);
        QVERIFY2(window.summaryText().contains(QStringLiteral("model ollama/qwen2.5:7b -> ollama/llama3.2:3b")),
                 qPrintable(window.summaryText()));
        QVERIFY(window.summaryText().contains(QStringLiteral("accepts the change")));
        QCOMPARE(rig.openClawConfig(), unchanged);

        // The free tier is refused: the summary says so, and "Save" shows the
        // reason and keeps the window open with the file untouched.
        const QList<QListWidgetItem *> free =
            window.list()->findItems(QStringLiteral("Halvex Free Tier"), Qt::MatchContains);
        QVERIFY(!free.isEmpty());
        window.list()->setCurrentItem(free.first());
        QTRY_VERIFY_WITH_TIMEOUT(window.summaryText().contains(QStringLiteral("would be refused")), kWait);
        CLICK(&window, "Save");
        QTRY_VERIFY_WITH_TIMEOUT(!window.errorText().isEmpty(), kWait);
        QVERIFY(!window.saved());
        QVERIFY(window.isVisible());
        QCOMPARE(rig.openClawConfig(), unchanged);
        window.list()->setCurrentItem(local.first());

        // Save writes the choice, shows "Saved!" and closes the window.
        CLICK(&window, "Save");
        QTRY_VERIFY_WITH_TIMEOUT(window.saved(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), kWait);
        QVERIFY(rig.openClawConfig().contains("ollama/llama3.2:3b"));
        QVERIFY(rig.openClawConfig().contains("\"main\""));
    }

    void openClawSettings()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        QVERIFY(rig.connectBridge());
        BridgeManager *bridge = rig.bridge.bridge.get();

        OpenClawSettingsView window(rig.services);
        window.show();
        QCOMPARE(window.endpoint(), rig.bridge.gateway.url().toString());
        QVERIFY(window.token().isEmpty()); // a stored token is never put in a field

        // The test goes to the typed address; a dead one fails, the live one answers.
        TYPE(&window, "Endpoint URL", QStringLiteral("http://127.0.0.1:1"));
        CLICK(&window, "Test Connection");
        QTRY_VERIFY_WITH_TIMEOUT(window.testResult().has_value(), kWait);
        QCOMPARE(window.testResult(), std::optional<bool>(false));
        // A failed test stores nothing.
        QCOMPARE(rig.bridge.settings->string(SettingsKey::openClawEndpoint),
                 std::optional<QString>(rig.bridge.gateway.url().toString()));
        TYPE(&window, "Endpoint URL", rig.bridge.gateway.url().toString());
        CLICK(&window, "Test Connection");
        QTRY_COMPARE_WITH_TIMEOUT(window.testResult(), std::optional<bool>(true), kWait);

        // Saving the same address with an empty token keeps the stored one.
        TYPE(&window, "Gateway Token", QString());
        CLICK(&window, "Save");
        QCOMPARE(rig.bridge.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt),
                 std::optional<QString>(BridgeRig::gatewayToken));

        // A new address with an empty token: the stored token belongs to the
        // old one, so the form asks and nothing moves.
        HttpStandIn second;
        QVERIFY(second.listen());
        second.setDefaultResponse("/healthz", ScriptedResponse::json(200, QByteArray("{}")));
        TYPE(&window, "Endpoint URL", second.url().toString());
        CLICK(&window, "Save");
        QCOMPARE(rig.bridge.settings->string(SettingsKey::openClawEndpoint),
                 std::optional<QString>(rig.bridge.gateway.url().toString()));
        QCOMPARE(bridge->openClawClient()->endpointURL(), rig.bridge.gateway.url());
        QCOMPARE(second.requestCount(), 0);
        // With its own token it is stored, and the bridge moves over.
        TYPE(&window, "Gateway Token", QStringLiteral("second-token"));
        CLICK(&window, "Save");
        QCOMPARE(rig.bridge.settings->string(SettingsKey::openClawEndpoint),
                 std::optional<QString>(second.url().toString()));
        QCOMPARE(rig.bridge.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("second-token")));
        QCOMPARE(bridge->openClawClient()->endpointURL(), second.url());
        QCOMPARE(bridge->openClawClient()->gatewayToken(), QStringLiteral("second-token"));
        QTRY_VERIFY_WITH_TIMEOUT(second.requestCount() > 0, kWait);
        // Not a URL: refused under the form, nothing stored.
        TYPE(&window, "Endpoint URL", QStringLiteral("not a url"));
        CLICK(&window, "Save");
        QCOMPARE(rig.bridge.settings->string(SettingsKey::openClawEndpoint),
                 std::optional<QString>(second.url().toString()));
    }

    // A gateway elsewhere over TLS: refused until the user confirms the
    // fingerprint the window shows; then trusted by that pin alone.
    void remoteTlsGatewayAfterConfirmation()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        QVERIFY(rig.connectBridge());
        BridgeManager *bridge = rig.bridge.bridge.get();
        TlsHealthServer remote;
        QVERIFY(remote.isListening());
        // Another address than this machine's gateway: 127.0.0.1 stands in
        // for it on the stand-in's port, which no openclaw.json names.
        OpenClawSettingsView window(rig.services);
        window.show();
        TYPE(&window, "Endpoint URL", remote.url().toString());
        TYPE(&window, "Gateway Token", QStringLiteral("remote-token"));
        CLICK(&window, "Test Connection");
        QTRY_VERIFY_WITH_TIMEOUT(window.testResult().has_value(), kWait);
        QCOMPARE(window.testResult(), std::optional<bool>(false));
        QVERIFY(window.offersCertificateTrust());
        QVERIFY(remote.requests.isEmpty()); // nothing sent to an unknown certificate

        CLICK(&window, "Trust This Certificate");
        QCOMPARE(rig.bridge.settings->string(SettingsKey::openClawTlsSha256),
                 std::optional<QString>(formatSha256(certificateSha256(remote.certificate))));
        QCOMPARE(bridge->gatewayTarget().endpoint, remote.url());
        QCOMPARE(bridge->gatewayTarget().tlsPin, certificateSha256(remote.certificate));
        CLICK(&window, "Test Connection");
        QTRY_COMPARE_WITH_TIMEOUT(window.testResult(), std::optional<bool>(true), kWait);
        QVERIFY(!remote.requests.isEmpty());
    }

    void accountSettings()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        QVERIFY(rig.connectBridge());
        BridgeManager *bridge = rig.bridge.bridge.get();

        AccountSettingsView window(rig.services);
        window.show();
        QVERIFY(!window.isSignedIn());

        // A 40-character name: the first 30 are stored, shown and announced.
        const QString name = QStringLiteral("A Very Long Bridge Name For The Study Box");
        TYPE(&window, "Bridge Name", name);
        const int cards = rig.bridge.sent(QStringLiteral("agent_card")).size();
        QTest::keyClick(findField(&window, QStringLiteral("Bridge Name")), Qt::Key_Return);
        QCOMPARE(window.bridgeNameText(), name.left(30));
        QCOMPARE(rig.bridge.settings->string(SettingsKey::bridgeName), std::optional<QString>(name.left(30).trimmed()));
        QTRY_VERIFY_WITH_TIMEOUT(rig.bridge.sent(QStringLiteral("agent_card")).size() > cards, kWait);

        // A wrong password: the relay's words under the form.
        TYPE(&window, "Email", kEmail);
        TYPE(&window, "Password", QStringLiteral("nope"));
        CLICK(&window, "Sign In");
        QTRY_VERIFY_WITH_TIMEOUT(!window.errorMessage().isEmpty(), kWait);
        QVERIFY(!window.isSignedIn());
        TYPE(&window, "Password", kPassword);
        CLICK(&window, "Sign In");
        QTRY_VERIFY_WITH_TIMEOUT(window.isSignedIn(), kWait);
        QCOMPARE(rig.bridge.settings->string(SettingsKey::accountEmail), std::optional<QString>(kEmail));

        // Signing out keeps the bridge connected on its token.
        CLICK(&window, "Sign Out");
        QVERIFY(!window.isSignedIn());
        QVERIFY(!rig.bridge.credentials->load(CredentialService::relay()).valueOr(std::nullopt));
        QVERIFY(rig.bridge.credentials->load(CredentialService::bridge()).valueOr(std::nullopt));
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::connected());
    }

    void qrCodeWindow()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        rig.bridge.settings->setString(SettingsKey::bridgeId, QStringLiteral("br-1"));
        {
            // Not signed in: the code is left out, silently.
            QRCodeWindowView window(rig.services);
            window.show();
            QTRY_VERIFY_WITH_TIMEOUT(!window.isLoading() && window.hasImage(), kWait);
            const QJsonObject relay =
                QJsonDocument::fromJson(window.payload()).object().value(QStringLiteral("relay")).toObject();
            QCOMPARE(relay.value(QStringLiteral("bridgeId")).toString(), QStringLiteral("br-1"));
            QVERIFY(!relay.contains(QStringLiteral("code")));
            QVERIFY(window.errorMessage().isEmpty());
        }
        QVERIFY(waitForResult(rig.accountService->signIn(kEmail, kPassword)).ok());
        QRCodeWindowView window(rig.services);
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isLoading() && window.hasImage(), kWait);
        const QString first = QJsonDocument::fromJson(window.payload())
                                  .object()
                                  .value(QStringLiteral("relay"))
                                  .toObject()
                                  .value(QStringLiteral("code"))
                                  .toString();
        QVERIFY(!first.isEmpty());
        CLICK(&window, "Generate New Code");
        QTRY_VERIFY_WITH_TIMEOUT(!window.isLoading() && window.payload().contains("code") &&
                                     !window.payload().contains(first.toUtf8()),
                                 kWait);
    }

    void everyMenuItemOpensAWindow()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        TrayController controller(rig.bridge.bridge.get(), rig.loginItem.get());
        WindowServices *services = &rig.services;
        using Window = TrayController::SettingsWindow;
        controller.setWindowFactory(Window::qrCode,
                                    [services](BridgeManager *) { return new QRCodeWindowView(*services); });
        controller.setWindowFactory(Window::openClawSettings,
                                    [services](BridgeManager *) { return new OpenClawSettingsView(*services); });
        controller.setWindowFactory(Window::accountSettings,
                                    [services](BridgeManager *) { return new AccountSettingsView(*services); });
        controller.setWindowFactory(Window::mobileModel,
                                    [services](BridgeManager *) { return new ModelSelectionView(*services); });
        controller.setSetupWizardFactory([services](BridgeManager *, std::function<void()> done) {
            return new SetupWizardView(*services, std::move(done));
        });
        controller.showQRCode();
        QVERIFY(qobject_cast<QRCodeWindowView *>(controller.settingsWindow()));
        controller.showOpenClawSettings();
        QVERIFY(qobject_cast<OpenClawSettingsView *>(controller.settingsWindow()));
        controller.showAccountSettings();
        QVERIFY(qobject_cast<AccountSettingsView *>(controller.settingsWindow()));
        controller.showMobileModel();
        QVERIFY(qobject_cast<ModelSelectionView *>(controller.settingsWindow()));
        // Escape closes a window.
        QWidget *model = controller.settingsWindow();
        QTest::keyClick(model, Qt::Key_Escape);
        QVERIFY(!model->isVisible());
        // The wizard is raised, not duplicated.
        controller.showSetupWizard();
        QWidget *wizard = controller.setupWindow();
        QVERIFY(qobject_cast<SetupWizardView *>(wizard));
        controller.runSetupWizard();
        QCOMPARE(controller.setupWindow(), wizard);
        static_cast<SetupWizardView *>(wizard)->setCurrentStep(1);
        controller.runSetupWizard();
        QCOMPARE(static_cast<SetupWizardView *>(wizard)->currentStep(), 1);
        // Closing the wizard abandons it; its detection still ends cleanly.
        wizard->close();
        QTRY_VERIFY_WITH_TIMEOUT(!static_cast<SetupWizardView *>(wizard)->detector()->isDetecting(), kWait);
    }
};

QTEST_MAIN(TestSettingsWindows)
#include "tst_settings_windows.moc"
