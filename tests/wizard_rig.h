#pragma once
// The windows wired to loopback peers: the bridge rig (relay and gateway
// stand-ins), the relay account stand-in, an Ollama stand-in, a scripted
// `openclaw` tool and a scratch autostart folder. Shared by the window tests.
#include "bridge_rig.h"
#include "fake_openclaw_tool.h"
#include "ollama_stand_in.h"
#include "relay_account_stand_in.h"

#include "account/account_service.h"
#include "account/pairing_service.h"
#include "account/relay_auth_service.h"
#include "discovery/openclaw_detector.h"
#include "gateway/openclaw_config.h"
#include "models/provider_detection_service.h"
#include "platform/session/login_item.h"
#include "views/window_services.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTest>

namespace halvex::test {

inline const QString kEmail = QStringLiteral("ada@example.org");
inline const QString kPassword = QStringLiteral("correct horse");
inline const QString kLan = QStringLiteral("192.168.1.20");

struct WizardRig {
    BridgeRig bridge;
    RelayAccountStandIn account;
    OllamaStandIn ollama;
    FakeOpenClawTool tool;
    QTemporaryDir autostart;
    std::unique_ptr<RelayAuthService> auth;
    std::unique_ptr<AccountService> accountService;
    std::unique_ptr<PairingService> pairing;
    std::unique_ptr<XdgAutostartLoginItem> loginItem;
    WindowServices services;

    bool start()
    {
        if (!bridge.startStandIns() || !account.listen() || !ollama.listen())
            return false;
        account.attachRelay(&bridge.relay);
        account.addUser(kEmail, kPassword);
        bridge.create();
        auth = std::make_unique<RelayAuthService>(account.origin());
        accountService = std::make_unique<AccountService>(auth.get(), bridge.credentials.get(), bridge.settings.get());
        PairingService::Dependencies deps;
        deps.auth = auth.get();
        deps.credentials = bridge.credentials.get();
        deps.settings = bridge.settings.get();
        deps.relayWebSocketOrigin = QUrl(QStringLiteral("wss://relay.halvex.com"));
        BridgeManager *manager = bridge.bridge.get();
        deps.gateway = [manager] { return manager->gatewayTarget(); };
        deps.bridgeTokenStored = [manager] { manager->reloadCredentials(); }; // as the tray's windows have it
        deps.localIPAddress = [] { return std::optional<QString>(kLan); };
        deps.bridgeName = [] { return QStringLiteral("Build Box"); };
        pairing = std::make_unique<PairingService>(deps);
        loginItem = std::make_unique<XdgAutostartLoginItem>(autostart.path(), QStringLiteral("/usr/bin/halvex-bridge"));

        services.bridgeManager = manager;
        services.settings = bridge.settings.get();
        services.credentials = bridge.credentials.get();
        services.account = accountService.get();
        services.pairing = pairing.get();
        services.loginItem = loginItem.get();
        const QString home = bridge.home.path();
        const QString toolPath = tool.path();
        services.makeDetector = [home, toolPath] {
            OpenClawDetector::Dependencies d;
            d.homeDirectory = home;
            d.environment = [](const QString &) { return std::optional<QString>(); };
            d.localIPAddress = [] { return std::optional<QString>(kLan); };
            d.places = OpenClawLocator::Places{{toolPath}, {}, {}};
            d.avahiBusAddress =
                qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"); // no Avahi there: the browse ends at once
            OpenClawDetectorTimings timings;
            timings.discoveryWindow = std::chrono::milliseconds(500);
            timings.lanCheckWindow = std::chrono::milliseconds(500);
            timings.lanCheckInterval = std::chrono::milliseconds(100);
            return std::make_unique<OpenClawDetector>(d, timings);
        };
        const QString ollamaHost = ollama.baseUrl();
        services.makeProviderDetection = [home, ollamaHost] {
            ProviderDetectionService::Dependencies d;
            d.homeDirectory = home;
            d.localOllamaHost = ollamaHost;
            return std::make_unique<ProviderDetectionService>(d);
        };
        return true;
    }

    // A paired bridge pointed at the gateway stand-in, connected to the relay.
    bool connectBridge()
    {
        bridge.storeBridgeToken();
        bridge.pointAtGateway();
        bridge.bridge->reloadCredentials();
        return bridge.waitConnected();
    }

    // OpenClaw's own file naming the gateway stand-in, bound to loopback.
    void writeOpenClawConfig(const QByteArray &bind = "loopback")
    {
        QDir().mkpath(bridge.home.filePath(QStringLiteral(".openclaw")));
        QFile file(openClawConfigPath(bridge.home.path()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("{\"gateway\": {\"port\": " + QByteArray::number(bridge.gateway.port()) + ", \"bind\": \"" + bind +
                   "\", \"auth\": {\"token\": \"" + BridgeRig::gatewayToken.toUtf8() + "\"}}}");
    }

    QByteArray openClawConfig() const
    {
        QFile file(openClawConfigPath(bridge.home.path()));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

// The visible button (or other clickable) with this text inside `root`.
inline QAbstractButton *findButton(QWidget *root, const QString &text)
{
    const QList<QAbstractButton *> buttons = root->findChildren<QAbstractButton *>();
    for (QAbstractButton *button : buttons) {
        if (button->text() == text && button->isVisibleTo(root->window()) && button->isVisible())
            return button;
    }
    return nullptr;
}

inline QLineEdit *findField(QWidget *root, const QString &accessibleName)
{
    const QList<QLineEdit *> fields = root->findChildren<QLineEdit *>();
    for (QLineEdit *field : fields) {
        if (field->accessibleName() == accessibleName && field->isVisible())
            return field;
    }
    return nullptr;
}

// Clicks the visible button with this text; fails the test when there is none.
#define CLICK(root, text)                                                                                              \
    do {                                                                                                               \
        QAbstractButton *b_ = nullptr;                                                                                 \
        QTRY_VERIFY_WITH_TIMEOUT((b_ = findButton((root), QStringLiteral(text))) && b_->isEnabled(), 30000);           \
        QTest::mouseClick(b_, Qt::LeftButton);                                                                         \
    } while (false)

#define TYPE(root, name, text)                                                                                         \
    do {                                                                                                               \
        QLineEdit *f_ = findField((root), QStringLiteral(name));                                                       \
        QVERIFY2(f_, name);                                                                                            \
        f_->clear();                                                                                                   \
        QTest::keyClicks(f_, (text));                                                                                  \
    } while (false)

} // namespace halvex::test
