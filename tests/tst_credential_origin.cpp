// Credentials follow the origin that issued them, whichever face moves the
// gateway: the terminal's `gateway set` (with and without --keep-token), the
// OpenClaw settings window, the wizard's manual page and a gateway picked
// from the network. Each row starts from the stores an older build left
// (one endpoint, its token, a confirmed pin and a device token kept for "the
// gateway"), moves to a second gateway, then starts the link as a freshly
// started bridge would: the new gateway must see none of the old secrets.
#include "program_run.h"
#include "wait_for_result.h"
#include "wizard_rig.h"

#include "gateway/device_tokens.h"
#include "gateway/gateway_settings.h"
#include "gateway/gateway_web_socket.h"
#include "gateway_timings.h"
#include "gateway_ws_stand_in.h"
#include "platform/secrets/file_secret_backend.h"
#include "views/openclaw_config_step.h"
#include "views/openclaw_settings_view.h"

#include <QFile>
#include <QListWidget>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 30000;
const QString kOldToken = QStringLiteral("old-gateway-secret");
const QString kOldDeviceToken = QStringLiteral("old-device-token");
const QString kNewToken = QStringLiteral("new-gateway-secret");
const QString kOldPin = QString(64, QLatin1Char('a'));

enum class Face { terminal, terminalKeepToken, settingsWindow, wizardManual, wizardDiscovered };

QString program()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("../src/halvex-bridge"));
}

} // namespace

Q_DECLARE_METATYPE(Face)

class TestCredentialOrigin : public QObject
{
    Q_OBJECT

    // Runs `halvex-bridge ARGS` on the rig's own stores, as the user would
    // in a terminal without a keyring.
    static int runOnStores(WizardRig &rig, const QTemporaryDir &config, const QStringList &arguments)
    {
        const ProgramRun run =
            runProgram(program(), arguments,
                       {QStringLiteral("HOME=") + rig.bridge.home.path(),
                        QStringLiteral("XDG_CONFIG_HOME=") + config.path(), QStringLiteral("PATH=/usr/bin:/bin"),
                        QStringLiteral("SHELL=/bin/false"), QStringLiteral("DBUS_SESSION_BUS_ADDRESS=")},
                       {}, 120000);
        if (run.exitCode != 0)
            qWarning("%s", qPrintable(run.err));
        return run.exitCode;
    }

private Q_SLOTS:
    void credentialsFollowTheOrigin_data()
    {
        QTest::addColumn<Face>("face");
        QTest::addColumn<bool>("carriesGatewayToken");
        QTest::newRow("gateway set") << Face::terminal << false;
        QTest::newRow("gateway set --keep-token") << Face::terminalKeepToken << true;
        QTest::newRow("settings window Save") << Face::settingsWindow << false;
        QTest::newRow("wizard manual page") << Face::wizardManual << false;
        QTest::newRow("discovered pick") << Face::wizardDiscovered << false;
    }

    void credentialsFollowTheOrigin()
    {
        QFETCH(Face, face);
        QFETCH(bool, carriesGatewayToken);
        if ((face == Face::terminal || face == Face::terminalKeepToken) && !QFileInfo(program()).isExecutable())
            QSKIP("halvex-bridge is not built");

        // The stores live in files the program run from the terminal shares.
        WizardRig rig;
        const QString storeFile = rig.bridge.settings.directory() + QStringLiteral("/credentials.json");
        rig.bridge.credentials = std::make_unique<CredentialStore>(std::make_unique<FileSecretBackend>(storeFile));
        QVERIFY(rig.start());
        QTemporaryDir config;
        QVERIFY(QFile::link(rig.bridge.settings.directory(), config.filePath(appId())));
        Settings *settings = rig.bridge.settings.get();
        CredentialStore *credentials = rig.bridge.credentials.get();
        settings->setString(SettingsKey::credentialStore, QString::fromLatin1(CredentialStore::fileStore));

        GatewayWsStandIn oldGateway;
        GatewayWsStandIn newGateway;
        QVERIFY(oldGateway.listen());
        QVERIFY(newGateway.listen());
        newGateway.setGatewayToken(kNewToken);
        // What an older build kept: for "the gateway", not for an origin.
        settings->setString(SettingsKey::openClawEndpoint, oldGateway.httpUrl().toString());
        settings->setString(SettingsKey::openClawTlsSha256, kOldPin);
        QVERIFY(credentials->save(CredentialService::openClaw(), kOldToken));
        QVERIFY(credentials->save(CredentialService::openClawDeviceToken(), kOldDeviceToken));

        const QString newAddress = newGateway.httpUrl().toString();
        switch (face) {
        case Face::terminal:
            QCOMPARE(runOnStores(rig, config, {QStringLiteral("gateway"), QStringLiteral("set"), newAddress}), 0);
            break;
        case Face::terminalKeepToken:
            QCOMPARE(runOnStores(rig, config,
                                 {QStringLiteral("gateway"), QStringLiteral("set"), newAddress,
                                  QStringLiteral("--keep-token")}),
                     0);
            break;
        case Face::settingsWindow: {
            OpenClawSettingsView window(rig.services);
            window.show();
            QVERIFY(window.token().isEmpty()); // never pre-filled
            TYPE(&window, "Endpoint URL", newAddress);
            CLICK(&window, "Save");
            // An empty token field does not hand the stored token over.
            QCOMPARE(rig.bridge.settings->string(SettingsKey::openClawEndpoint),
                     std::optional<QString>(oldGateway.httpUrl().toString()));
            TYPE(&window, "Gateway Token", kNewToken);
            CLICK(&window, "Save");
            break;
        }
        case Face::wizardManual:
        case Face::wizardDiscovered: {
            std::shared_ptr<OpenClawDetector> detector = rig.services.makeDetector();
            bool finished = false;
            OpenClawConfigStep step(rig.services, detector);
            connect(&step, &OpenClawConfigStep::done, &step, [&] { finished = true; });
            step.show();
            bool detected = false;
            detector->detect().then([&] { detected = true; });
            QTRY_VERIFY_WITH_TIMEOUT(detected, kWait);
            if (!step.showsManual())
                CLICK(&step, "Configure Manually");
            if (face == Face::wizardDiscovered) {
                // The entry the network announced, as the list shows it.
                auto *list = step.findChild<QListWidget *>();
                QVERIFY(list);
                auto *item = new QListWidgetItem(QStringLiteral("studio (OpenClaw)"), list);
                item->setData(Qt::UserRole, newAddress);
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
                QCOMPARE(findField(&step, QStringLiteral("Endpoint URL"))->text(), newAddress);
            } else {
                TYPE(&step, "Endpoint URL", newAddress);
            }
            TYPE(&step, "Gateway Token", kNewToken);
            CLICK(&step, "Continue");
            QTRY_VERIFY_WITH_TIMEOUT(finished, kWait);
            break;
        }
        }

        // A bridge started now, on what is stored.
        Settings reread(settings->filePath());
        CredentialStore store(std::make_unique<FileSecretBackend>(storeFile));
        GatewaySettings gateway(&reread, &store, rig.bridge.home.path());
        gateway.adoptUnboundDeviceToken();
        const GatewayTarget target = gateway.target();
        QCOMPARE(target.endpoint, newGateway.httpUrl());
        QVERIFY(target.tlsPin.isEmpty());
        QVERIFY(reread.string(SettingsKey::openClawTlsSha256Origin).value_or(QString()) != target.credentialOrigin());
        GatewayWebSocket link(&store, fastGatewayTimings());
        link.setTlsPin(target.tlsPin);
        link.connect(target.endpoint, target.token);
        QTRY_VERIFY_WITH_TIMEOUT(!newGateway.connectRecords().isEmpty(), kWait);
        link.disconnect();

        for (const GatewayWsStandIn::ConnectRecord &record : newGateway.connectRecords()) {
            const QJsonObject auth = record.params.value(QLatin1String("auth")).toObject();
            QCOMPARE(auth.value(QLatin1String("deviceToken")).toString() == kOldDeviceToken, false);
            QCOMPARE(auth.value(QLatin1String("token")).toString() == kOldToken, carriesGatewayToken);
        }
        QVERIFY(oldGateway.connectRecords().isEmpty());
        // The old gateway's device token went with its address.
        QCOMPARE(DeviceTokens(&store).load(credentialOrigin(oldGateway.httpUrl())).valueOr(std::nullopt), std::nullopt);
    }
};

QTEST_MAIN(TestCredentialOrigin)
#include "tst_credential_origin.moc"
