// The running bridge answers the terminal, driven as a user on a box
// without a screen would: `halvex-bridge --headless` runs as a child process
// against the relay stand-in and a gateway WebSocket stand-in, and the
// status, name, disable and enable commands run beside it as further
// processes. A phone's chat goes through after each step.
#include "gateway_ws_stand_in.h"
#include "program_run.h"
#include "relay_stand_in.h"

#include "bridge/bridge_control.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/file_secret_backend.h"
#include "platform/settings.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <unistd.h>
#include <vector>

using namespace halvex;
using namespace halvex::test;

namespace {

constexpr int kWait = 60000;
const QString kToken = QStringLiteral("bt-control-1");

// A member by its dotted path, e.g. "relay.state".
QJsonValue member(const QJsonObject &object, const char *path)
{
    QJsonValue value = object;
    for (const QByteArray &key : QByteArray(path).split('.'))
        value = value.toObject().value(QLatin1String(key));
    return value;
}

QJsonValue str(const char *value)
{
    return QJsonValue(QLatin1String(value));
}

} // namespace

class TestBridgeControl : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    RelayStandIn m_relay;
    GatewayWsStandIn m_gateway;
    int m_chats = 0;

    QString configDir() const { return m_home.filePath(QStringLiteral("config/")) + appId(); }
    Settings settings() const { return Settings(configDir() + QStringLiteral("/settings.conf")); }

    QStringList environment() const
    {
        return {QStringLiteral("HOME=") + m_home.path(),
                QStringLiteral("XDG_CONFIG_HOME=") + m_home.filePath(QStringLiteral("config")),
                QStringLiteral("XDG_RUNTIME_DIR=") + m_home.filePath(QStringLiteral("run")),
                // No Secret Service: the credentials are in the file store of the scratch home.
                QStringLiteral("DBUS_SESSION_BUS_ADDRESS="),
                QStringLiteral("HALVEX_RELAY_WS_ORIGIN=") + m_relay.origin().toString(),
                QStringLiteral("QT_LOGGING_RULES=*.debug=false")};
    }

    ProgramRun run(const QStringList &arguments)
    {
        return runProgram(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE), arguments, environment());
    }

    // `status --json` until the running bridge's document satisfies `holds`.
    bool statusUntil(const std::function<bool(const QJsonObject &running)> &holds, QJsonObject *last)
    {
        return QTest::qWaitFor(
            [&] {
                *last = run({QStringLiteral("status"), QStringLiteral("--json")})
                            .json()
                            .value(QLatin1String("running"))
                            .toObject();
                return holds(*last);
            },
            kWait);
    }

    // A phone's chat through the relay; true when the gateway's answer came back.
    bool chatAnswered()
    {
        const QString id = QStringLiteral("chat-%1").arg(++m_chats);
        m_relay.sendJson(QJsonObject{{QStringLiteral("type"), QStringLiteral("chat_message")},
                                     {QStringLiteral("id"), id},
                                     {QStringLiteral("appUserId"), QStringLiteral("u-1")},
                                     {QStringLiteral("content"), QStringLiteral("Hi")}});
        const std::optional<QJsonObject> end = m_relay.waitForJson(
            [&](const QJsonObject &o) {
                return o.value(QLatin1String("type")).toString() == QLatin1String("chat_stream_end") &&
                       o.value(QLatin1String("reply_to")).toString() == id;
            },
            kWait);
        return end && end->value(QLatin1String("content")).toString() == QLatin1String("Hello!");
    }

    bool agentCardNamed(const QString &name)
    {
        return m_relay
            .waitForJson(
                [&](const QJsonObject &o) {
                    return o.value(QLatin1String("type")).toString() == QLatin1String("agent_card") &&
                           member(o, "card.agent.name") == QJsonValue(name);
                },
                kWait)
            .has_value();
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (!QFile::exists(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE)))
            QSKIP("halvex-bridge is not built");
        if (!relayInsecure())
            QSKIP("the relay origin can only be overridden in HALVEX_RELAY_INSECURE builds");
        const QString runtime = m_home.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(QDir().mkpath(configDir()));
        m_relay.acceptToken(kToken);
        QVERIFY(m_relay.start()); // takes its port, then goes down
        m_relay.stop();
        QVERIFY(m_gateway.listen());
        CredentialStore credentials(
            std::make_unique<FileSecretBackend>(configDir() + QStringLiteral("/credentials.json")));
        QVERIFY(credentials.save(CredentialService::bridge(), kToken));
        QVERIFY(credentials.save(CredentialService::openClaw(), QStringLiteral("gw-token")));
        settings().setString(SettingsKey::openClawEndpoint, m_gateway.httpUrl().toString());
    }

    void headlessBridgeFromTheTerminal()
    {
        QProcess bridge;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment())
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        bridge.setProcessEnvironment(env);
        bridge.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        bridge.start(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE), {QStringLiteral("--headless")});
        QVERIFY(bridge.waitForStarted()); // killed with `bridge` if the test fails before its end

        // The relay is down: the bridge keeps trying and says why.
        QJsonObject status;
        QVERIFY2(statusUntil(
                     [](const QJsonObject &s) {
                         return member(s, "relay.state") == str("connecting") &&
                                member(s, "relay.reconnectAttempt").toInt() >= 1 &&
                                member(s, "relay.lastError").isString();
                     },
                     &status),
                 QJsonDocument(status).toJson());
        QCOMPARE(member(status, "schema"), QJsonValue(1));
        QCOMPARE(member(status, "bridge.mode"), str("headless"));
        QCOMPARE(member(status, "bridge.version").toString(), appShortVersion());
        QCOMPARE(member(status, "bridge.pid").toInteger(), bridge.processId());
        const ProgramRun text = run({QStringLiteral("status")});
        QCOMPARE(text.exitCode, 0); // paired
        QVERIFY2(text.out.contains(QLatin1String("Relay link: connecting since")), qPrintable(text.out));

        // The relay comes up: connected, the gateway over its WebSocket, and a chat goes through.
        QVERIFY(m_relay.start());
        QVERIFY(m_relay.waitForOpenConnections(1, kWait));
        QVERIFY(statusUntil(
            [](const QJsonObject &s) {
                return member(s, "relay.state") == str("connected") && member(s, "relay.reconnectAttempt") == 0 &&
                       member(s, "relay.readiness") == str("ready") && member(s, "gateway.link") == str("webSocket");
            },
            &status));
        QVERIFY(chatAnswered());

        // A new name: kept, announced at once, shown.
        const ProgramRun named = run({QStringLiteral("name"), QStringLiteral("  Living Room  ")});
        QCOMPARE(named.exitCode, 0);
        QVERIFY2(named.out.contains(QLatin1String("\"Living Room\". The running bridge announced it.")),
                 qPrintable(named.out));
        QVERIFY(agentCardNamed(QStringLiteral("Living Room")));
        QCOMPARE(settings().string(SettingsKey::bridgeName), std::optional<QString>(QStringLiteral("Living Room")));
        QCOMPARE(run({QStringLiteral("name"), QStringLiteral("--json")}).json().value(QLatin1String("bridgeName")),
                 QJsonValue(QStringLiteral("Living Room")));
        QVERIFY(chatAnswered());

        // Switched off: the relay link closes and stays closed; the choice is kept.
        const ProgramRun off = run({QStringLiteral("disable")});
        QCOMPARE(off.exitCode, 0);
        QVERIFY(m_relay.waitFor([&] { return m_relay.openConnectionCount() == 0; }, kWait));
        QVERIFY(statusUntil(
            [](const QJsonObject &s) {
                return member(s, "bridge.enabled") == QJsonValue(false) &&
                       member(s, "relay.state") == str("disconnected") &&
                       member(s, "relay.readiness") == str("switchedOff");
            },
            &status));
        QCOMPARE(settings().boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));

        // Switched on again: connected and answering.
        const int accepted = m_relay.acceptedCount();
        QCOMPARE(run({QStringLiteral("enable")}).exitCode, 0);
        QVERIFY(m_relay.waitFor([&] { return m_relay.acceptedCount() > accepted; }, kWait));
        QVERIFY(m_relay.waitForOpenConnections(1, kWait));
        QVERIFY(agentCardNamed(QStringLiteral("Living Room")));
        QVERIFY(chatAnswered());
        QCOMPARE(settings().boolean(SettingsKey::bridgeEnabled), std::optional<bool>(true));
        QVERIFY(statusUntil(
            [](const QJsonObject &s) {
                return member(s, "chats.answered") == 3 && member(s, "chats.failed") == 0 &&
                       member(s, "chats.inFlight") == 0;
            },
            &status));

        // --watch: a document now and one on each change.
        QProcess watcher;
        watcher.setProcessEnvironment(bridge.processEnvironment());
        watcher.start(QStringLiteral(HALVEX_BRIDGE_EXECUTABLE),
                      {QStringLiteral("status"), QStringLiteral("--watch"), QStringLiteral("--json")});
        QList<QJsonObject> seen;
        connect(&watcher, &QProcess::readyReadStandardOutput, &watcher, [&] {
            while (watcher.canReadLine())
                seen << QJsonDocument::fromJson(watcher.readLine()).object();
        });
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), kWait);
        QCOMPARE(member(seen.constFirst(), "bridge.name"), str("Living Room"));
        QCOMPARE(run({QStringLiteral("name"), QString()}).exitCode, 0); // back to the machine's name
        QTRY_VERIFY_WITH_TIMEOUT(member(seen.constLast(), "bridge.name") != str("Living Room"), kWait);
        QVERIFY(!settings().string(SettingsKey::bridgeName));
        watcher.kill();
        watcher.waitForFinished(kWait);

        // Watchers are limited: one over the limit is refused.
        const QString instance = m_home.filePath(QStringLiteral("run/")) + appId() + QLatin1Char('.') +
                                 QString::number(::getuid()) + QStringLiteral(".instance");
        std::vector<std::unique_ptr<QLocalSocket>> watchers;
        const auto watch = [&] {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(instance);
            const bool answered = socket->waitForConnected(kWait) && socket->write("watchStatus\n") > 0 &&
                                  QTest::qWaitFor([&] { return socket->canReadLine(); }, kWait);
            const QJsonObject first = QJsonDocument::fromJson(socket->readLine()).object();
            watchers.push_back(std::move(socket));
            return answered ? first : QJsonObject();
        };
        for (qsizetype i = 0; i < BridgeControl::maxWatchers; ++i)
            QVERIFY(watch().contains(QLatin1String("bridge")));
        QVERIFY(watch().value(QLatin1String("error")).isString());
        watchers.clear();

        // Without a running bridge the commands set what the next start does.
        bridge.terminate();
        QVERIFY(QTest::qWaitFor([&] { return bridge.state() == QProcess::NotRunning; }, kWait));
        QCOMPARE(bridge.exitCode(), 0);
        const ProgramRun alone = run({QStringLiteral("status"), QStringLiteral("--json")});
        QCOMPARE(alone.json().value(QLatin1String("running")), QJsonValue(QJsonValue::Null));
        QVERIFY(run({QStringLiteral("status")}).out.startsWith(QLatin1String("Bridge: not running")));
        QCOMPARE(run({QStringLiteral("disable")}).exitCode, 0);
        QCOMPARE(settings().boolean(SettingsKey::bridgeEnabled), std::optional<bool>(false));
        const ProgramRun renamed =
            run({QStringLiteral("name"), QStringLiteral("A name well over thirty characters long")});
        QCOMPARE(renamed.exitCode, 0);
        QCOMPARE(settings().string(SettingsKey::bridgeName),
                 std::optional<QString>(QStringLiteral("A name well over thirty charac")));
        QCOMPARE(run({QStringLiteral("name"), QStringLiteral("bad\x1b[2Jname")}).exitCode, 2);
        QCOMPARE(run({QStringLiteral("status"), QStringLiteral("--watch")}).exitCode, 1);

        // Memory Sync costs money: no terminal to confirm on, no --yes, it stays off.
        const ProgramRun unconfirmed = run({QStringLiteral("memory"), QStringLiteral("on")});
        QCOMPARE(unconfirmed.exitCode, 2);
        QVERIFY(unconfirmed.out.contains(QLatin1String("Cost is typically a few cents per day")));
        QVERIFY(!settings().boolean(SettingsKey::memorySyncEnabled, false));
        QCOMPARE(run({QStringLiteral("memory"), QStringLiteral("on"), QStringLiteral("--yes")}).exitCode, 0);
        QVERIFY(settings().boolean(SettingsKey::memorySyncEnabled, false));
    }
};

QTEST_GUILESS_MAIN(TestBridgeControl)
#include "tst_bridge_control.moc"
