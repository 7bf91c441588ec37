#include "demo_session.h"

#include "platform/session/process_runner.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QTest>
#include <QTextStream>

#include <qcoro/qcorotask.h>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace halvex::demo {

namespace {

// What the gateway prints once it takes clients on every link.
constexpr QByteArrayView gatewayReadyLine = "[gateway] ready";
// The bridge's output kept for a failure report.
constexpr qsizetype bridgeOutputKept = 64 * 1024;

QString randomHex(int bytes)
{
    QByteArray data(bytes, Qt::Uninitialized);
    for (char &byte : data)
        byte = char(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(data.toHex());
}

QString lastLines(const QByteArray &text, int lines)
{
    QStringList all = QString::fromUtf8(text).trimmed().split(QLatin1Char('\n'));
    if (all.size() > lines)
        all = all.mid(all.size() - lines);
    return all.join(QLatin1Char('\n'));
}

} // namespace

DemoSession::DemoSession(Config config, QTextStream &out, QTextStream &err, QObject *parent)
    : QObject(parent), m_config(std::move(config)), m_out(out), m_err(err), m_gateway(m_config.openClawVersion)
{
    m_email = QStringLiteral("demo-%1@halvex.test").arg(randomHex(4));
}

DemoSession::~DemoSession()
{
    stop();
}

bool DemoSession::start()
{
    struct Step {
        QString name;
        Result<QString> (DemoSession::*run)();
    };
    const QList<Step> steps = {
        {QStringLiteral("relay stand-in"), &DemoSession::startRelay},
        {QStringLiteral("OpenClaw gateway"), &DemoSession::startGateway},
        {QStringLiteral("account"), &DemoSession::createAccount},
        {QStringLiteral("pairing"), &DemoSession::pairBridge},
        {QStringLiteral("bridge"), &DemoSession::startBridge},
    };
    for (qsizetype i = 0; i < steps.size(); ++i) {
        m_out << QStringLiteral("[%1/%2] %3").arg(i + 1).arg(steps.size()).arg(steps.at(i).name) << Qt::endl;
        const Result<QString> done = (this->*steps.at(i).run)();
        if (m_interrupted) {
            m_err << QStringLiteral("Interrupted during the step \"%1\"; stopping what was started.")
                         .arg(steps.at(i).name)
                  << Qt::endl;
            return false;
        }
        if (!done) {
            m_err << QStringLiteral("The demo failed at the step \"%1\": %2")
                         .arg(steps.at(i).name, done.error().description())
                  << Qt::endl;
            return false;
        }
        m_out << QStringLiteral("      ") << *done << Qt::endl;
    }
    return true;
}

void DemoSession::interrupt()
{
    m_interrupted = true;
    // The gateway's start waits until it is healthy or gone: end it now.
    if (m_gateway.isRunning())
        ::kill(-pid_t(m_gateway.processId()), SIGTERM);
}

Result<QString> DemoSession::startRelay()
{
    if (!m_relay.start())
        return Error::plain(QStringLiteral("the relay's bridge WebSocket cannot listen on 127.0.0.1"));
    if (!m_account.listen())
        return Error::plain(QStringLiteral("the relay's account API cannot listen on 127.0.0.1"));
    // Bridge tokens the account API hands out open the WebSocket.
    m_account.attachRelay(&m_relay);
    return QStringLiteral("account API %1, bridge WebSocket %2")
        .arg(m_account.origin().toString(), m_relay.origin().toString());
}

Result<QString> DemoSession::startGateway()
{
    m_gateway.model()->setAnswer(m_config.answer);
    m_gateway.model()->setChunkDelayMs(m_config.chunkDelayMs);
    m_out << QStringLiteral("      OpenClaw %1 starts (this takes about half a minute)…").arg(m_gateway.version())
          << Qt::endl;
    // The harness echoes the gateway's output when this is set in our environment.
    if (m_config.verbose) {
        qputenv("HALVEX_TEST_LOG", "1");
        connect(m_gateway.model(), &test::ModelStandIn::chatRequestReceived, this,
                [this](const test::HttpRequest &request) {
                    m_err << QStringLiteral("model stand-in <- %1")
                                 .arg(quotedForLog(test::ModelStandIn::lastUserText(request.json()), 400))
                          << Qt::endl;
                });
    }
    QElapsedTimer clock;
    clock.start();
    if (!m_gateway.start())
        return Error::plain(m_gateway.errorString());
    // /healthz answers while the gateway still refuses WebSocket clients
    // ("gateway starting"); the phone's first line should meet a ready one.
    (void)QTest::qWaitFor(
        [&] { return m_interrupted || !m_gateway.isRunning() || m_gateway.log().contains(gatewayReadyLine); },
        m_config.timings.gatewayReadyTimeoutMs);
    if (!m_gateway.isRunning())
        return Error::plain(
            QStringLiteral("the OpenClaw gateway exited after it started:\n%1").arg(lastLines(m_gateway.log(), 20)));
    return QStringLiteral("gateway %1 (agent \"mobile\"), model stand-in %2, ready after %3 s")
        .arg(m_gateway.httpUrl().toString(), m_gateway.model()->baseUrl())
        .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1);
}

QStringList DemoSession::bridgeEnvironment() const
{
    return {
        // The gateway's HOME holds its ~/.openclaw/openclaw.json (port, token).
        QStringLiteral("HOME=") + m_gateway.homeDir(),
        QStringLiteral("HALVEX_RELAY_ORIGIN=") + m_account.origin().toString(),
        QStringLiteral("HALVEX_RELAY_WS_ORIGIN=") + m_relay.origin().toString(),
        QStringLiteral("NO_COLOR=1"),
    };
}

Result<QString> DemoSession::runBridgeCommand(const QStringList &arguments, const QByteArray &input)
{
    ProcessRequest request;
    request.program = m_config.bridgeProgram;
    request.arguments = arguments;
    request.timeout = std::chrono::milliseconds(m_config.timings.commandTimeoutMs);
    request.outputCap = 256 * 1024;
    request.standardInput = input;
    request.extraEnvironment = bridgeEnvironment();
    const ProcessOutcome outcome = QCoro::waitFor(runProcess(request));
    const QString shown = QStringLiteral("halvex-bridge ") + arguments.join(QLatin1Char(' '));
    if (!outcome.exitedWithSuccess())
        return Error::plain(
            QStringLiteral("%1 %2: %3")
                .arg(shown, outcome.describe(), lastLines(outcome.standardError + outcome.standardOutput, 10)));
    return QString::fromUtf8(outcome.standardOutput);
}

Result<QString> DemoSession::createAccount()
{
    // The password goes through standard input, never the command line.
    const QString password = randomHex(12);
    const Result<QString> done =
        runBridgeCommand({QStringLiteral("login"), QStringLiteral("--create"), QStringLiteral("--json"), m_email},
                         password.toUtf8() + '\n');
    if (!done)
        return done.error();
    if (!m_account.hasUser(m_email))
        return Error::plain(QStringLiteral("the relay stand-in has no account %1 after the login").arg(m_email));
    return QStringLiteral("halvex-bridge login --create %1: signed in").arg(m_email);
}

Result<QString> DemoSession::pairBridge()
{
    const Result<QString> done = runBridgeCommand({QStringLiteral("pair"), QStringLiteral("--json")}, {});
    if (!done)
        return done.error();
    const QJsonObject answer = QJsonDocument::fromJson(done->trimmed().toUtf8()).object();
    if (!answer.value(QStringLiteral("paired")).toBool() || m_account.bridges().isEmpty())
        return Error::plain(QStringLiteral("halvex-bridge pair did not pair: %1").arg(done->trimmed()));
    return QStringLiteral("halvex-bridge pair: paired as \"%1\" (bridge %2)")
        .arg(answer.value(QStringLiteral("bridgeName")).toString(),
             answer.value(QStringLiteral("bridgeId")).toString());
}

Result<QString> DemoSession::startBridge()
{
    m_bridge = std::make_unique<QProcess>();
    m_bridge->setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : bridgeEnvironment())
        environment.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    m_bridge->setProcessEnvironment(environment);
    // A session of its own, so that the demo stops it in order after the
    // phone; and it goes with the demo should the demo die.
    m_bridge->setChildProcessModifier([] {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    });
    connect(m_bridge.get(), &QProcess::readyRead, this, [this] {
        const QByteArray output = m_bridge->readAll();
        if (m_config.verbose) {
            m_err << QString::fromUtf8(output);
            m_err.flush();
        }
        m_bridgeOutput += output;
        if (m_bridgeOutput.size() > bridgeOutputKept)
            m_bridgeOutput.remove(0, m_bridgeOutput.size() - bridgeOutputKept);
    });
    connect(m_bridge.get(), &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (m_stopping)
            return;
        Q_EMIT bridgeExited(status == QProcess::NormalExit ? QStringLiteral("exited with status %1").arg(code)
                                                           : QStringLiteral("crashed"));
    });

    QStringList arguments{QStringLiteral("--headless")};
    if (m_config.verbose)
        arguments << QStringLiteral("--verbose");
    m_bridge->start(m_config.bridgeProgram, arguments);
    if (!m_bridge->waitForStarted(m_config.timings.commandTimeoutMs))
        return Error::plain(QStringLiteral("cannot start %1: %2").arg(m_config.bridgeProgram, m_bridge->errorString()));

    // Connected when the relay holds its WebSocket and got its agent card;
    // the newest card says whether the bridge reaches the gateway.
    const auto agentCard = [this]() -> std::optional<QJsonObject> {
        const QList<QJsonObject> frames = m_relay.receivedJson();
        for (auto it = frames.crbegin(); it != frames.crend(); ++it) {
            if (it->value(QStringLiteral("type")).toString() == QLatin1String("agent_card"))
                return it->value(QStringLiteral("card")).toObject();
        }
        return std::nullopt;
    };
    const auto reachesGateway = [](const QJsonObject &card) {
        return card.value(QStringLiteral("capabilities"))
            .toObject()
            .value(QStringLiteral("openclaw"))
            .toObject()
            .value(QStringLiteral("connected"))
            .toBool();
    };
    test::RelayStandIn::waitFor(
        [&] { return m_interrupted || !bridgeRunning() || (m_relay.openConnectionCount() > 0 && agentCard()); },
        m_config.timings.bridgeConnectTimeoutMs);
    if (!bridgeRunning())
        return Error::plain(QStringLiteral("halvex-bridge --headless %1:\n%2")
                                .arg(m_bridge->exitStatus() == QProcess::NormalExit
                                         ? QStringLiteral("exited with status %1").arg(m_bridge->exitCode())
                                         : QStringLiteral("crashed"),
                                     bridgeOutputTail()));
    if (!agentCard())
        return Error::plain(QStringLiteral("the bridge did not connect to the relay within %1 s:\n%2")
                                .arg(m_config.timings.bridgeConnectTimeoutMs / 1000)
                                .arg(bridgeOutputTail()));
    // It announces itself again once its health check reached the gateway.
    (void)test::RelayStandIn::waitFor([&] { return m_interrupted || !bridgeRunning() || reachesGateway(*agentCard()); },
                                      m_config.timings.gatewayReachTimeoutMs);
    const QJsonObject card = *agentCard();
    const QJsonObject agent = card.value(QStringLiteral("agent")).toObject();
    return QStringLiteral("halvex-bridge --headless (pid %1) is connected to the relay; agent card: %2 %3, "
                          "OpenClaw %4")
        .arg(m_bridge->processId())
        .arg(agent.value(QStringLiteral("name")).toString(), agent.value(QStringLiteral("version")).toString(),
             reachesGateway(card) ? QStringLiteral("reachable") : QStringLiteral("not reachable yet"));
}

bool DemoSession::bridgeRunning() const
{
    return m_bridge && m_bridge->state() != QProcess::NotRunning;
}

QString DemoSession::bridgeOutputTail() const
{
    return lastLines(m_bridgeOutput, 20);
}

void DemoSession::stopBridge()
{
    if (!m_bridge)
        return;
    if (m_bridge->state() != QProcess::NotRunning) {
        // Its process group: anything it started goes with it.
        const pid_t group = pid_t(m_bridge->processId());
        ::kill(-group, SIGTERM);
        if (!m_bridge->waitForFinished(m_config.timings.bridgeStopTimeoutMs)) {
            ::kill(-group, SIGKILL);
            m_bridge->waitForFinished(5000);
        }
    }
    m_bridge->disconnect(this);
    m_bridge.reset();
}

void DemoSession::stop()
{
    m_stopping = true;
    stopBridge();
    m_gateway.stop();
    m_account.http().close();
    m_relay.stop();
}

} // namespace halvex::demo
