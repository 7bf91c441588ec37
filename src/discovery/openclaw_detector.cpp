#include "discovery/openclaw_detector.h"

#include "discovery/openclaw_tool_output.h"
#include "platform/device_facts.h"
#include "platform/logging.h"

#include <QDeadlineTimer>
#include <QTimer>

#include <qcoro/qcorotimer.h>

namespace halvex {

namespace {

// A fixed argument list written as one line ("config get gateway.bind").
QStringList arguments(const char *line)
{
    return QString::fromLatin1(line).split(QLatin1Char(' '));
}

} // namespace

QString OpenClawDetector::noTokenSentence()
{
    return QStringLiteral("OpenClaw runs with a token only it knows: set one with "
                          "`openclaw config set gateway.auth.token …`");
}

OpenClawDetector::OpenClawDetector(Dependencies deps, Timings timings, QObject *parent)
    : QObject(parent), m_deps(std::move(deps)), m_timings(timings),
      m_runner(std::make_shared<CommandRunner>(m_deps.processRunner, m_timings.commands))
{
    if (!m_deps.environment)
        m_deps.environment = processEnvironment;
}

OpenClawDetector::~OpenClawDetector()
{
    *m_alive = false;
}

bool OpenClawDetector::isBrowsing() const
{
    return m_browse != nullptr;
}

QCoro::Task<std::optional<QString>> OpenClawDetector::runCommand(QString executable, QStringList arguments)
{
    return m_runner->runCommand(std::move(executable), std::move(arguments));
}

QCoro::Task<std::optional<QString>> OpenClawDetector::findBinary()
{
    const std::shared_ptr<bool> alive = m_alive;
    OpenClawLocator locator(m_runner, m_deps.places
                                          ? *m_deps.places
                                          : OpenClawLocator::standardPlaces(m_deps.homeDirectory, m_deps.environment));
    const LocatedOpenClaw located = co_await locator.find();
    if (!*alive)
        co_return std::nullopt;
    assign(m_binaryProblem, located.path ? QString() : located.problem, &OpenClawDetector::binaryProblemChanged);
    m_skippedTools = located.skipped;
    for (const SkippedOpenClaw &skipped : located.skipped)
        qCInfo(lcDetector, "Not running %s: %s", qUtf8Printable(quotedForLog(skipped.path)),
               qUtf8Printable(skipped.reason));
    m_toolVersion = located.path ? located.version : QString();
    if (!located.problem.isEmpty() && !located.path)
        qCInfo(lcDetector, "%s", qUtf8Printable(located.problem));
    co_return located.path;
}

Result<std::optional<OpenClawConfig>> OpenClawDetector::readConfig() const
{
    return loadOpenClawConfig(m_deps.homeDirectory, m_deps.environment);
}

std::optional<QString> OpenClawDetector::lanAddress() const
{
    return m_deps.localIPAddress ? m_deps.localIPAddress() : halvex::localIPAddress();
}

QCoro::Task<> OpenClawDetector::detect()
{
    const std::shared_ptr<bool> alive = m_alive;
    assign(m_isDetecting, true, &OpenClawDetector::isDetectingChanged);

    const std::optional<QString> path = co_await findBinary();
    if (!*alive)
        co_return;
    if (!path) {
        qCInfo(lcDetector, "OpenClaw binary not found — falling back to manual config");
        startNetworkDiscovery();
        assign(m_isDetecting, false, &OpenClawDetector::isDetectingChanged);
        co_return;
    }
    assign(m_binaryPath, *path, &OpenClawDetector::binaryPathChanged);
    assign(m_detected, true, &OpenClawDetector::detectedChanged);
    qCInfo(lcDetector, "Found OpenClaw at %s", qUtf8Printable(*path));

    GatewayTarget target = resolveGatewayTarget(
        GatewaySources{m_deps.settings, m_deps.credentials, m_deps.homeDirectory, m_deps.environment});
    target.toolPath = *path;
    target.toolVersion = m_toolVersion;
    if (!target.configProblem.isEmpty())
        qCInfo(lcDetector, "Ignoring OpenClaw config file: %s", qUtf8Printable(quotedForLog(target.configProblem)));
    if (!target.tokenProblem.isEmpty())
        qCInfo(lcDetector, "%s", qUtf8Printable(target.tokenProblem));
    applyTarget(target);
    if (!target.config) {
        co_await askToolForSettings();
        if (!*alive)
            co_return;
        // The tool's port stands in for the file's only while nothing else
        // names the endpoint.
        if (target.endpointOrigin == GatewayValueOrigin::defaultValue)
            target.endpoint.setPort(m_gatewayPort);
    }
    m_target = target;
    assign(m_endpointURL, target.endpoint, &OpenClawDetector::endpointURLChanged);

    co_await readAgents(target.config);
    if (!*alive)
        co_return;

    GatewayProbeOptions options;
    options.timeout = m_timings.probeTimeout;
    options.context = this;
    const GatewayProbe probe = co_await probeGateway(target, options);
    if (!*alive)
        co_return;
    m_probe = probe;
    const bool socketConnected = m_deps.gatewaySocketConnected && m_deps.gatewaySocketConnected();
    assign(m_gatewayRunning, probe.reachable || socketConnected, &OpenClawDetector::gatewayRunningChanged);
    assign(m_chatEndpointEnabled, probe.chatEndpoint == ChatEndpointState::on,
           &OpenClawDetector::chatEndpointEnabledChanged);
    qCInfo(lcDetector, "Gateway at %s: %s", qUtf8Printable(m_endpointURL.toString()),
           qUtf8Printable(probe.description()));

    startNetworkDiscovery();
    assign(m_isDetecting, false, &OpenClawDetector::isDetectingChanged);
}

void OpenClawDetector::applyTarget(const GatewayTarget &target)
{
    if (!target.token.isEmpty())
        assign(m_gatewayToken, target.token, &OpenClawDetector::gatewayTokenChanged);
    if (!target.bindMode.isEmpty())
        assign(m_gatewayBind, target.bindMode, &OpenClawDetector::gatewayBindChanged);
    if (target.config && target.config->gatewayPort)
        assign(m_gatewayPort, *target.config->gatewayPort, &OpenClawDetector::gatewayPortChanged);
    // The tool never prints the token, so the file (or the store) is the
    // only source.
    assign(m_tokenHint, !target.token.isEmpty() || target.authDisabled ? QString() : noTokenSentence(),
           &OpenClawDetector::tokenHintChanged);
}

QCoro::Task<> OpenClawDetector::askToolForSettings()
{
    const std::shared_ptr<bool> alive = m_alive;
    // A failing `config get` may print its complaint: only a successful
    // answer is a value.
    const CommandResult bind = co_await m_runner->run(m_binaryPath, arguments("config get gateway.bind"));
    if (!*alive)
        co_return;
    if (bind.succeeded() && bind.output)
        assign(m_gatewayBind, *bind.output, &OpenClawDetector::gatewayBindChanged);

    const CommandResult port = co_await m_runner->run(m_binaryPath, arguments("config get gateway.port"));
    if (!*alive)
        co_return;
    if (port.succeeded() && port.output) {
        const std::optional<int> number = parseDecimalInteger(*port.output);
        if (number && *number >= 1 && *number <= 65535)
            assign(m_gatewayPort, *number, &OpenClawDetector::gatewayPortChanged);
    }
}

QCoro::Task<> OpenClawDetector::readAgents(std::optional<OpenClawConfig> config)
{
    const std::shared_ptr<bool> alive = m_alive;
    std::optional<QStringList> agents;
    if (config && config->agentsShape != OpenClawConfig::AgentsShape::none) {
        agents = config->agentIds();
    } else {
        const CommandResult json = co_await m_runner->run(m_binaryPath, arguments("agents list --json"));
        if (!*alive)
            co_return;
        if (json.succeeded() && json.output)
            agents = agentsFromJsonListing(*json.output);
        if (!agents) {
            const std::optional<QString> plain = co_await m_runner->runCommand(m_binaryPath, arguments("agents list"));
            if (!*alive)
                co_return;
            if (plain && !agentsFromPlainListing(*plain).isEmpty())
                agents = agentsFromPlainListing(*plain);
        }
    }
    if (agents)
        assign(m_agents, *agents, &OpenClawDetector::agentsChanged);
    assign(m_hasMobileAgent, m_agents.contains(OpenClawConfig::mobileAgentId()),
           &OpenClawDetector::hasMobileAgentChanged);
}

void OpenClawDetector::startNetworkDiscovery()
{
    const quint64 run = ++m_browseRun;
    const auto finish = [this, run] {
        if (m_browseRun != run || !m_browse)
            return;
        m_browse.reset();
        Q_EMIT networkDiscoveryFinished();
    };
    GatewayBrowse::Handlers handlers;
    handlers.changed = [this](const DiscoveredGateways &gateways) {
        assign(m_discoveredGateways, gateways, &OpenClawDetector::discoveredGatewaysChanged);
    };
    // Without Avahi there is nothing to wait for.
    handlers.failed = [finish](const QString &) { finish(); };
    m_browse =
        DesktopBusModule::browseGateways(m_deps.avahiBusAddress, gatewayServiceType(), std::move(handlers), this);
    if (!m_browse) {
        Q_EMIT networkDiscoveryFinished();
        return;
    }
    // Each run's browse has its own window.
    QTimer::singleShot(m_timings.discoveryWindow, this, finish);
    m_browse->start();
}

QCoro::Task<Result<ConfigPatchVerdict>> OpenClawDetector::patchConfig(QJsonObject patch)
{
    OpenClawConfigPatcher patcher(
        {OpenClawTool{m_binaryPath, {}}, m_deps.processRunner, m_deps.environment, m_timings.patchTimeout});
    QCoro::Task<Result<ConfigPatchVerdict>> patching = patcher.apply(std::move(patch));
    co_return co_await std::move(patching);
}

QCoro::Task<bool> OpenClawDetector::setBindMode(QString mode)
{
    const std::shared_ptr<bool> alive = m_alive;
    if (m_binaryPath.isEmpty())
        co_return false;
    const QJsonObject patch{{QStringLiteral("gateway"), QJsonObject{{QStringLiteral("bind"), mode}}}};
    const Result<ConfigPatchVerdict> set = co_await patchConfig(patch);
    if (!*alive)
        co_return false;
    if (!set) {
        assign(m_lanAccessProblem,
               QStringLiteral("OpenClaw did not accept the change of its bind mode: ") + set.error().description(),
               &OpenClawDetector::lanAccessProblemChanged);
        co_return false;
    }
    assign(m_gatewayBind, mode, &OpenClawDetector::gatewayBindChanged);
    co_await m_runner->run(m_binaryPath, arguments("gateway restart"), m_timings.restartTimeout);
    co_return *alive;
}

QCoro::Task<bool> OpenClawDetector::pollUntil(std::chrono::milliseconds window,
                                              std::function<QCoro::Task<bool>()> answered)
{
    const std::shared_ptr<bool> alive = m_alive;
    const QDeadlineTimer deadline(window);
    while (true) {
        if (co_await answered())
            co_return true;
        if (!*alive || deadline.hasExpired())
            co_return false;
        co_await QCoro::sleepFor(m_timings.lanCheckInterval);
        if (!*alive)
            co_return false;
    }
}

QCoro::Task<bool> OpenClawDetector::enableTls()
{
    const std::shared_ptr<bool> alive = m_alive;
    if (m_binaryPath.isEmpty())
        co_return false;
    const QJsonObject patch{{QStringLiteral("gateway"),
                             QJsonObject{{QStringLiteral("tls"), QJsonObject{{QStringLiteral("enabled"), true}}}}}};
    const Result<ConfigPatchVerdict> set = co_await patchConfig(patch);
    if (!*alive)
        co_return false;
    const Result<std::optional<OpenClawConfig>> current = readConfig();
    const bool on = current && current->has_value() && (*current)->tlsEnabled;
    if (!on) {
        assign(m_lanAccessProblem,
               QStringLiteral("OpenClaw did not turn its gateway TLS on") +
                   (set ? QString() : QStringLiteral(": ") + set.error().description()),
               &OpenClawDetector::lanAccessProblemChanged);
        co_return false;
    }
    GatewayProbeOptions options;
    options.timeout = m_timings.probeTimeout;
    options.chatEndpoint = false;
    options.context = this;
    const bool answered = co_await pollUntil(m_timings.tlsCheckWindow, [&]() -> QCoro::Task<bool> {
        // Resolved again each time: the certificate appears when the gateway
        // makes it.
        const GatewayTarget target = resolveGatewayTarget(
            GatewaySources{m_deps.settings, m_deps.credentials, m_deps.homeDirectory, m_deps.environment});
        if (!target.tlsEnabled || target.tlsPin.isEmpty())
            co_return false;
        const GatewayProbe probe = co_await probeGateway(target, options);
        if (!*alive || !probe.reachable)
            co_return false;
        m_target = target;
        assign(m_endpointURL, target.endpoint, &OpenClawDetector::endpointURLChanged);
        co_return true;
    });
    if (!*alive)
        co_return false;
    if (answered) {
        assign(m_lanAccessProblem, QString(), &OpenClawDetector::lanAccessProblemChanged);
        co_return true;
    }
    assign(m_lanAccessProblem,
           QStringLiteral("OpenClaw's configuration now has TLS on, but the gateway does not answer over https yet: "
                          "restart the gateway"),
           &OpenClawDetector::lanAccessProblemChanged);
    co_return false;
}

QCoro::Task<bool> OpenClawDetector::disableLANAccess()
{
    return setBindMode(QStringLiteral("loopback"));
}

QCoro::Task<bool> OpenClawDetector::enableLANAccess()
{
    const std::shared_ptr<bool> alive = m_alive;
    if (!co_await setBindMode(QStringLiteral("lan")) || !*alive)
        co_return false;

    // The change counts only when the gateway answers on the LAN address.
    const std::optional<QString> address = lanAddress();
    if (!address) {
        assign(m_lanAccessProblem, QStringLiteral("This machine has no local-network address to reach the gateway on"),
               &OpenClawDetector::lanAccessProblemChanged);
        co_return false;
    }
    // The check sends no token: the LAN address is only being tried.
    GatewayTarget lan = m_target;
    lan.endpoint.setHost(*address);
    lan.endpoint.setPort(m_gatewayPort);
    lan.token.clear();
    const QUrl lanEndpoint = lan.endpoint;
    GatewayProbeOptions options;
    options.timeout = m_timings.probeTimeout;
    options.chatEndpoint = false;
    options.context = this;
    const bool answered = co_await pollUntil(m_timings.lanCheckWindow, [&]() -> QCoro::Task<bool> {
        const GatewayProbe health = co_await probeGateway(lan, options);
        // Any HTTP answer there shows it listens on the local network (a
        // gateway that has just restarted answers 503 for a while).
        co_return *alive && (health.reachable || health.healthzStatus);
    });
    if (!*alive)
        co_return false;
    if (answered) {
        assign(m_lanAccessProblem, QString(), &OpenClawDetector::lanAccessProblemChanged);
        qCInfo(lcDetector, "Gateway answers on the local network at %s", qUtf8Printable(lanEndpoint.toString()));
        co_return true;
    }
    assign(m_lanAccessProblem,
           QStringLiteral("OpenClaw's configuration now says \"lan\", but the running gateway still listens only on "
                          "this machine: restart the gateway process (or its service) to open it to the local network"),
           &OpenClawDetector::lanAccessProblemChanged);
    qCInfo(lcDetector, "Gateway does not answer at %s after the bind change", qUtf8Printable(lanEndpoint.toString()));
    co_return false;
}

} // namespace halvex
