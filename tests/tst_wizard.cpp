// The setup wizard driven as a user would (clicks and typing, offscreen)
// against the relay account stand-in, a gateway stand-in named in OpenClaw's
// own file, the Ollama stand-in and a scratch autostart folder: from the
// welcome to a bridge connected on the token the relay issued.
#include "wizard_rig.h"

#include "views/account_step.h"
#include "views/completion_step.h"
#include "views/connect_phone_step.h"
#include "views/model_selection_step.h"
#include "views/openclaw_config_step.h"
#include "views/setup_wizard_view.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QPushButton>
#include <QTest>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 30000;

QString mobileModelIn(const QByteArray &config)
{
    const QJsonObject agents = QJsonDocument::fromJson(config).object().value(QStringLiteral("agents")).toObject();
    for (const QJsonArray elements = agents.value(QStringLiteral("list")).toArray();
         const QJsonValue &entry : elements) {
        const QJsonObject agent = entry.toObject();
        if (agent.value(QStringLiteral("id")).toString() != QLatin1String("mobile"))
            continue;
        const QJsonValue model = agent.value(QStringLiteral("model"));
        return model.isString() ? model.toString() : model.toObject().value(QStringLiteral("primary")).toString();
    }
    const QJsonObject entries = agents.value(QStringLiteral("entries")).toObject();
    const QJsonValue model = entries.value(QStringLiteral("mobile")).toObject().value(QStringLiteral("model"));
    return model.isString() ? model.toString() : model.toObject().value(QStringLiteral("primary")).toString();
}

} // namespace

class TestWizard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    void fromWelcomeToARunningBridge()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        rig.writeOpenClawConfig();
        rig.ollama.setModels({{QStringLiteral("llama3.2:3b"), 2000000000, QStringLiteral("3.2B"), 8192}});
        BridgeManager *bridge = rig.bridge.bridge.get();
        QCOMPARE(bridge->connectionState(), BridgeConnectionState::error(QStringLiteral("No bridge token")));

        int completed = 0;
        SetupWizardView wizard(rig.services, [&] { ++completed; });
        wizard.resize(520, 560);
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard));

        // Welcome: no "Back".
        QCOMPARE(wizard.currentStep(), 0);
        QVERIFY(!wizard.backButton()->isVisible());
        CLICK(&wizard, "Get Started");
        QCOMPARE(wizard.currentStep(), 1);
        QVERIFY(wizard.backButton()->isVisible());

        // Account: a wrong password is refused under the form, nothing stored.
        QCOMPARE(wizard.accountStep()->page(), AccountStep::Page::form);
        TYPE(&wizard, "Email", kEmail);
        TYPE(&wizard, "Password", QStringLiteral("wrong password"));
        // The submit button (the choice above it bears the same words).
        auto *submit = wizard.findChild<QPushButton *>(QStringLiteral("submit"));
        QCOMPARE(submit->text(), QStringLiteral("Sign In"));
        QTest::mouseClick(submit, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!wizard.accountStep()->errorMessage().isEmpty(), kWait);
        QCOMPARE(wizard.currentStep(), 1);
        QVERIFY(!rig.accountService->isSignedIn());
        // The right one, sent with Return.
        TYPE(&wizard, "Password", kPassword);
        QTest::keyClick(findField(&wizard, QStringLiteral("Password")), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(wizard.currentStep(), 2, kWait);
        QVERIFY(rig.accountService->isSignedIn());
        QCOMPARE(rig.accountService->accountEmail(), std::optional<QString>(kEmail));

        // Connect phone: no way forward before pairing.
        QVERIFY(!findButton(&wizard, QStringLiteral("Continue")));
        CLICK(&wizard, "Pair This Computer");
        QTRY_VERIFY_WITH_TIMEOUT(wizard.connectPhoneStep()->isPaired(), kWait);
        QCOMPARE(rig.account.bridges().size(), 1);
        const QString issued = rig.account.bridges().constFirst().bridgeToken;
        const QJsonObject payload = QJsonDocument::fromJson(wizard.connectPhoneStep()->payload()).object();
        QCOMPARE(payload.value(QStringLiteral("relay")).toObject().value(QStringLiteral("bridgeId")).toString(),
                 rig.account.bridges().constFirst().bridgeId);
        CLICK(&wizard, "Continue");
        QCOMPARE(wizard.currentStep(), 3);

        // OpenClaw: detected from its own file, bound to loopback.
        OpenClawConfigStep *openClaw = wizard.openClawStep();
        QTRY_VERIFY_WITH_TIMEOUT(wizard.detector()->detected() && !wizard.detector()->isDetecting(), kWait);
        QTRY_VERIFY_WITH_TIMEOUT(openClaw->showsLANWarning(), kWait);
        CLICK(&wizard, "Skip — I only use relay");
        QVERIFY(!openClaw->showsLANWarning());
        CLICK(&wizard, "Use These Settings");
        QCOMPARE(wizard.currentStep(), 4);
        QCOMPARE(bridge->openClawClient()->gatewayToken(), BridgeRig::gatewayToken);
        QCOMPARE(bridge->openClawEndpoint().port(), int(rig.bridge.gateway.port()));

        // Model: the local model is recommended and answers the test.
        ModelSelectionStep *model = wizard.modelStep();
        QTRY_VERIFY_WITH_TIMEOUT(model->isLoaded(), kWait);
        QCOMPARE(model->selectedModelId(), std::optional<QString>(QStringLiteral("ollama/llama3.2:3b")));
        CLICK(&wizard, "Test Connection");
        QTRY_VERIFY_WITH_TIMEOUT(model->testText().contains(QLatin1String("Connected in ")), kWait);
        QCOMPARE(rig.ollama.chatRequests().size(), 1);
        const QJsonObject sent = rig.ollama.chatRequests().constFirst().json();
        QCOMPARE(sent.value(QStringLiteral("model")).toString(), QStringLiteral("llama3.2:3b"));
        QCOMPARE(sent.value(QStringLiteral("max_tokens")).toInt(), 1);
        CLICK(&wizard, "Continue");
        QTRY_COMPARE_WITH_TIMEOUT(wizard.currentStep(), 5, kWait);
        QCOMPARE(mobileModelIn(rig.openClawConfig()), QStringLiteral("ollama/llama3.2:3b"));

        // Start at login: on by default, so the autostart entry exists.
        QVERIFY(QFile::exists(rig.loginItem->filePath()));
        QCOMPARE(rig.bridge.settings->boolean(SettingsKey::startAtLogin), std::optional<bool>(true));
        CLICK(&wizard, "Continue");
        QCOMPARE(wizard.currentStep(), 6);
        QVERIFY(!wizard.backButton()->isVisible());

        // Completion: the bridge runs on the issued token.
        QVERIFY(rig.bridge.waitConnected());
        QCOMPARE(rig.bridge.relay.attempts().constLast().token, issued);
        QTRY_VERIFY_WITH_TIMEOUT(wizard.completionStep()->relayConnected(), kWait);
        QVERIFY(wizard.completionStep()->bridgePaired());
        QTRY_VERIFY_WITH_TIMEOUT(wizard.completionStep()->gatewayReachable(), kWait);
        CLICK(&wizard, "Done");
        QCOMPARE(completed, 1);
    }

    void backAndEscape()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        int completed = 0;
        SetupWizardView wizard(rig.services, [&] { ++completed; });
        wizard.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wizard));
        // Return presses the step's default button ("Get Started").
        QTest::keyClick(&wizard, Qt::Key_Return);
        QCOMPARE(wizard.currentStep(), 1);
        QTest::mouseClick(wizard.backButton(), Qt::LeftButton);
        QCOMPARE(wizard.currentStep(), 0);
        QVERIFY(!wizard.backButton()->isVisible());
        QTest::keyClick(&wizard, Qt::Key_Escape);
        QVERIFY(!wizard.isVisible());
        QCOMPARE(completed, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!wizard.detector()->isDetecting(), kWait);
    }

    void accountStepEdges()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        // A relay token without an e-mail: the form, not the signed-in view.
        (void)rig.bridge.credentials->save(CredentialService::relay(), QStringLiteral("old-relay-token"));
        AccountStep step(rig.accountService.get());
        step.show();
        QCOMPARE(step.page(), AccountStep::Page::form);
        // With the e-mail stored: signed in; "Use Different Account" shows the form.
        rig.bridge.settings->setString(SettingsKey::accountEmail, kEmail);
        step.refresh();
        QCOMPARE(step.page(), AccountStep::Page::signedIn);
        CLICK(&step, "Use Different Account");
        QCOMPARE(step.page(), AccountStep::Page::form);
        QVERIFY(!step.findChild<QPushButton *>(QStringLiteral("submit"))->isEnabled());

        // Creating an account signs in with it; the password goes as typed.
        QVERIFY(rig.accountService->signOut());
        int nexts = 0;
        AccountStep creating(rig.accountService.get());
        connect(&creating, &AccountStep::done, &creating, [&] { ++nexts; });
        creating.show();
        CLICK(&creating, "Create Account"); // the choice
        TYPE(&creating, "Email", QStringLiteral("new@example.org"));
        TYPE(&creating, "Password", QStringLiteral("  spaced  "));
        auto *submit = creating.findChild<QPushButton *>(QStringLiteral("submit"));
        QVERIFY(submit);
        QCOMPARE(submit->text(), QStringLiteral("Create Account"));
        QTest::mouseClick(submit, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(nexts, 1, kWait);
        QVERIFY(rig.account.passwordMatches(QStringLiteral("new@example.org"), QStringLiteral("  spaced  ")));

        // Password reset, three stages.
        CLICK(&creating, "Forgot Password?");
        QCOMPARE(creating.page(), AccountStep::Page::reset);
        QCOMPARE(creating.resetStep(), 0);
        CLICK(&creating, "Send Reset Code");
        QTRY_COMPARE_WITH_TIMEOUT(creating.resetStep(), 1, kWait);
        QVERIFY(!creating.resetMessage().isEmpty());
        const std::optional<QString> code = rig.account.resetCodeFor(QStringLiteral("new@example.org"));
        QVERIFY(code);
        QAbstractButton *reset = findButton(&creating, QStringLiteral("Reset Password"));
        QVERIFY(reset);
        TYPE(&creating, "6-digit code", code->left(5));
        TYPE(&creating, "New password (8+ characters)", QStringLiteral("newpassw"));
        QVERIFY(!reset->isEnabled());
        TYPE(&creating, "6-digit code", *code + QLatin1Char('1'));
        QVERIFY(!reset->isEnabled());
        TYPE(&creating, "6-digit code", *code);
        TYPE(&creating, "New password (8+ characters)", QStringLiteral("newpass"));
        QVERIFY(!reset->isEnabled());
        TYPE(&creating, "New password (8+ characters)", QStringLiteral("newpassw"));
        QVERIFY(reset->isEnabled());
        QTest::mouseClick(reset, Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(creating.resetStep(), 2, kWait);
        QVERIFY(rig.account.passwordMatches(QStringLiteral("new@example.org"), QStringLiteral("newpassw")));
        CLICK(&creating, "Back to Sign In");
        QCOMPARE(creating.page(), AccountStep::Page::form);
    }

    void connectPhoneEdges()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        int nexts = 0;
        ConnectPhoneStep step(rig.pairing.get());
        connect(&step, &ConnectPhoneStep::done, &step, [&] { ++nexts; });
        step.show();
        // Not signed in: refused with the sentence, nothing asked of the relay.
        CLICK(&step, "Pair This Computer");
        QTRY_COMPARE_WITH_TIMEOUT(step.errorMessage(), QStringLiteral("Not signed in — go back and sign in first"),
                                  kWait);
        QVERIFY(!step.isPaired());

        // A code of 8 characters keeps "Connect" disabled; 9 with blanks
        // around it is sent without them.
        const QString code = rig.account.issuePairingCode(kEmail);
        QCOMPARE(code.size(), 9);
        TYPE(&step, "Pairing code", code.left(8));
        QVERIFY(!findButton(&step, QStringLiteral("Connect"))->isEnabled());
        TYPE(&step, "Pairing code", QStringLiteral(" ") + code + QStringLiteral(" "));
        CLICK(&step, "Connect");
        QTRY_VERIFY_WITH_TIMEOUT(step.isPaired(), kWait);
        QCOMPARE(rig.account.http().lastRequest().json().value(QStringLiteral("code")).toString(), code);
        QVERIFY(!QJsonDocument::fromJson(step.payload())
                     .object()
                     .value(QStringLiteral("relay"))
                     .toObject()
                     .contains(QStringLiteral("code")));

        // The bridge heard of its token from the pairing itself.
        const auto storedToken = [&] {
            return rig.bridge.credentials->load(CredentialService::bridge()).valueOr(std::nullopt).value_or(QString());
        };
        QVERIFY(rig.bridge.waitConnected());
        QCOMPARE(rig.bridge.relay.attempts().constLast().token, storedToken());

        // "Pair Again" returns to the unpaired view; shown anew, the stored
        // pairing appears at once.
        CLICK(&step, "Pair Again");
        QVERIFY(!step.isPaired());
        step.refresh();
        QVERIFY(step.isPaired());

        // Paired again while connected: the bridge moves to the new token.
        CLICK(&step, "Pair Again");
        const QString again = rig.account.issuePairingCode(kEmail);
        TYPE(&step, "Pairing code", again);
        CLICK(&step, "Connect");
        QTRY_VERIFY_WITH_TIMEOUT(step.isPaired(), kWait);
        QTRY_COMPARE_WITH_TIMEOUT(rig.bridge.relay.attempts().constLast().token, storedToken(), kWait);
        QVERIFY(rig.bridge.waitConnected());
        CLICK(&step, "Continue");
        QCOMPARE(nexts, 1);
    }

    void openClawStepLANAndManual()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        rig.writeOpenClawConfig();
        std::shared_ptr<OpenClawDetector> detector = rig.services.makeDetector();
        int nexts = 0;
        OpenClawConfigStep step(rig.services, detector);
        connect(&step, &OpenClawConfigStep::done, &step, [&] { ++nexts; });
        step.show();
        bool detected = false;
        detector->detect().then([&] { detected = true; });
        QTRY_VERIFY_WITH_TIMEOUT(detected, kWait);
        QVERIFY(step.showsLANWarning());

        // The tool refuses the switch: the box stays, with the reason under it.
        CLICK(&step, "Enable LAN Access");
        QTRY_VERIFY_WITH_TIMEOUT(findButton(&step, QStringLiteral("Enable LAN Access"))->isEnabled(), kWait);
        QVERIFY(step.showsLANWarning());
        QVERIFY(!detector->lanAccessProblem().isEmpty());
        QVERIFY(!rig.tool.calls().isEmpty());

        // By hand: a dead address fails the test and stores nothing.
        CLICK(&step, "Configure Manually");
        QVERIFY(step.showsManual());
        TYPE(&step, "Endpoint URL", QStringLiteral("http://127.0.0.1:1"));
        TYPE(&step, "Gateway Token", QStringLiteral("typed-token"));
        CLICK(&step, "Test Connection");
        QTRY_VERIFY_WITH_TIMEOUT(step.testResult().has_value(), kWait);
        QCOMPARE(step.testResult(), std::optional<bool>(false));
        QVERIFY(!rig.bridge.settings->string(SettingsKey::openClawEndpoint));
        // The live one answers; Continue hands address and token to the bridge.
        TYPE(&step, "Endpoint URL", rig.bridge.gateway.url().toString());
        CLICK(&step, "Test Connection");
        QTRY_COMPARE_WITH_TIMEOUT(step.testResult(), std::optional<bool>(true), kWait);
        QVERIFY(!rig.bridge.gateway.requests().isEmpty());
        CLICK(&step, "Continue");
        QCOMPARE(nexts, 1);
        QCOMPARE(rig.bridge.bridge->openClawEndpoint(), rig.bridge.gateway.url());
        QCOMPARE(rig.bridge.credentials->load(CredentialService::openClaw()).valueOr(std::nullopt),
                 std::optional<QString>(QStringLiteral("typed-token")));
    }

    void modelStepEdges()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        // Nothing usable detected: only the managed free tier, which the
        // writer refuses, so nothing is selected; the step says what to do
        // and "Skip" goes on without touching the file.
        rig.ollama.server()->close();
        rig.writeOpenClawConfig();
        std::shared_ptr<ProviderDetectionService> detection = rig.services.makeProviderDetection();
        int nexts = 0;
        {
            ModelSelectionStep step(rig.services, detection);
            connect(&step, &ModelSelectionStep::done, &step, [&] { ++nexts; });
            step.show();
            step.load();
            QTRY_VERIFY_WITH_TIMEOUT(step.isLoaded(), kWait);
            QCOMPARE(step.selectedModelId(), std::nullopt);
            QVERIFY(step.offersAlternatives());
            const QByteArray before = rig.openClawConfig();
            CLICK(&step, "Continue"); // nothing selected: nothing happens
            QCOMPARE(nexts, 0);
            CLICK(&step, "Skip");
            QCOMPARE(nexts, 1);
            QCOMPARE(rig.openClawConfig(), before);
        }
    }

    void aRefusedModelKeepsTheWizardOnTheStep()
    {
        // A model is detected, but the file is split with "$include" and no
        // openclaw tool is here: the write is refused with the reason under
        // the form, the file is untouched, and the wizard stays.
        WizardRig rig;
        QVERIFY(rig.start());
        int nexts = 0;
        rig.ollama.setModels({{QStringLiteral("llama3.2:3b"), 2000000000, QStringLiteral("3.2B"), 16384}});
        QDir().mkpath(rig.bridge.home.filePath(QStringLiteral(".openclaw")));
        QFile split(openClawConfigPath(rig.bridge.home.path()));
        QVERIFY(split.open(QIODevice::WriteOnly | QIODevice::Truncate));
        split.write(R"({"agents": {"$include": "./agents.json"}})");
        split.close();
        QFile included(rig.bridge.home.filePath(QStringLiteral(".openclaw/agents.json")));
        QVERIFY(included.open(QIODevice::WriteOnly));
        included.write(R"({"list": [{"id": "main", "default": true}]})");
        included.close();
        std::shared_ptr<ProviderDetectionService> detection = rig.services.makeProviderDetection();
        ModelSelectionStep step(rig.services, detection);
        connect(&step, &ModelSelectionStep::done, &step, [&] { ++nexts; });
        step.show();
        step.load();
        QTRY_VERIFY_WITH_TIMEOUT(step.isLoaded(), kWait);
        QCOMPARE(step.selectedModelId(), std::optional<QString>(QStringLiteral("ollama/llama3.2:3b")));
        QVERIFY(!step.offersAlternatives());
        const QByteArray before = rig.openClawConfig();
        CLICK(&step, "Continue");
        QTRY_VERIFY_WITH_TIMEOUT(!step.errorText().isEmpty(), kWait);
        QVERIFY2(step.errorText().contains(QStringLiteral("$include")), qPrintable(step.errorText()));
        QCOMPARE(nexts, 0);
        QCOMPARE(rig.openClawConfig(), before);
        CLICK(&step, "Skip");
        QCOMPARE(nexts, 1);
    }

    void modelTestFailure()
    {
        WizardRig rig;
        QVERIFY(rig.start());
        rig.ollama.setModels({{QStringLiteral("llama3.2:3b"), 2000000000, QStringLiteral("3.2B"), 16384}});
        std::shared_ptr<ProviderDetectionService> detection = rig.services.makeProviderDetection();
        ModelSelectionStep step(rig.services, detection);
        step.show();
        step.load();
        QTRY_VERIFY_WITH_TIMEOUT(step.isLoaded(), kWait);
        QCOMPARE(step.selectedModelId(), std::optional<QString>(QStringLiteral("ollama/llama3.2:3b")));
        rig.ollama.server()->enqueue(ScriptedResponse::json(404, QByteArray("{}")),
                                     QByteArrayLiteral("/v1/chat/completions"));
        CLICK(&step, "Test Connection");
        QTRY_COMPARE_WITH_TIMEOUT(step.testText(), QStringLiteral("✗ HTTP 404"), kWait);
    }
};

QTEST_MAIN(TestWizard)
#include "tst_wizard.moc"
