#pragma once

#include "discovery/command_runner.h"
#include "discovery/openclaw_locator.h"
#include "gateway/gateway_probe.h"
#include "gateway/gateway_target.h"
#include "gateway/limits.h"
#include "gateway/openclaw_config.h"
#include "gateway/openclaw_config_patch.h"
#include "platform/net/discovered_gateway.h"
#include "platform/session/desktop_bus_module.h"

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace halvex {

class CredentialStore;
class Settings;

struct OpenClawDetectorTimings {
    std::chrono::milliseconds discoveryWindow = std::chrono::seconds(10); // each run's local-network browse
    // How long enableLANAccess() waits for the LAN address to answer.
    std::chrono::milliseconds lanCheckWindow = std::chrono::seconds(20);
    std::chrono::milliseconds lanCheckInterval = std::chrono::seconds(1);
    std::chrono::milliseconds restartTimeout = limits::openClawCommandTimeout; // `openclaw gateway restart`
    std::chrono::milliseconds patchTimeout = limits::openClawCommandTimeout;   // `openclaw config patch`
    // How long enableTls() waits for https (OpenClaw reloads in about 15 s).
    std::chrono::milliseconds tlsCheckWindow = std::chrono::seconds(90);
    CommandRunnerTimings commands;                                 // every other command
    std::chrono::milliseconds probeTimeout = limits::probeTimeout; // each request of the gateway probe
};

// Finds the user's OpenClaw installation without asking anything: the
// tool, the gateway target (resolveGatewayTarget: endpoint, token, bind
// mode, TLS), the agents, what the gateway probe says, and the gateways
// announced on the local network. Results are published properties; a run
// never clears what an earlier run found.
class OpenClawDetector : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool detected READ detected NOTIFY detectedChanged)
    Q_PROPERTY(QString binaryPath READ binaryPath NOTIFY binaryPathChanged)
    Q_PROPERTY(QString gatewayToken READ gatewayToken NOTIFY gatewayTokenChanged)
    Q_PROPERTY(int gatewayPort READ gatewayPort NOTIFY gatewayPortChanged)
    Q_PROPERTY(QString gatewayBind READ gatewayBind NOTIFY gatewayBindChanged)
    Q_PROPERTY(bool gatewayRunning READ gatewayRunning NOTIFY gatewayRunningChanged)
    Q_PROPERTY(QStringList agents READ agents NOTIFY agentsChanged)
    Q_PROPERTY(QUrl endpointURL READ endpointURL NOTIFY endpointURLChanged)
    Q_PROPERTY(
        QList<halvex::DiscoveredGateway> discoveredGateways READ discoveredGateways NOTIFY discoveredGatewaysChanged)
    Q_PROPERTY(bool isDetecting READ isDetecting NOTIFY isDetectingChanged)
    Q_PROPERTY(bool hasMobileAgent READ hasMobileAgent NOTIFY hasMobileAgentChanged)
    Q_PROPERTY(bool chatEndpointEnabled READ chatEndpointEnabled NOTIFY chatEndpointEnabledChanged)
    Q_PROPERTY(QString tokenHint READ tokenHint NOTIFY tokenHintChanged)
    Q_PROPERTY(QString binaryProblem READ binaryProblem NOTIFY binaryProblemChanged)
    Q_PROPERTY(QString lanAccessProblem READ lanAccessProblem NOTIFY lanAccessProblemChanged)
public:
    using Timings = OpenClawDetectorTimings;

    struct Dependencies {
        QString homeDirectory;
        // The user's stores, so that the target is the one the bridge uses;
        // none: what OpenClaw's configuration alone says.
        Settings *settings = nullptr;
        CredentialStore *credentials = nullptr;
        // Optional seams; empty means the default noted.
        ProcessRunner processRunner;                            // runProcess
        EnvironmentLookup environment;                          // processEnvironment
        std::function<std::optional<QString>()> localIPAddress; // halvex::localIPAddress()
        std::optional<OpenClawLocator::Places> places;          // OpenClawLocator::standardPlaces()
        QString avahiBusAddress;                                // empty: the system bus
        std::function<bool()> gatewaySocketConnected;           // none: no socket to ask
    };

    // The sentence shown when the configuration holds no usable token.
    static QString noTokenSentence();

    explicit OpenClawDetector(Dependencies deps, Timings timings = {}, QObject *parent = nullptr);
    ~OpenClawDetector() override;

    bool detected() const { return m_detected; }
    QString binaryPath() const { return m_binaryPath; }
    QString gatewayToken() const { return m_gatewayToken; }
    int gatewayPort() const { return m_gatewayPort; }
    QString gatewayBind() const { return m_gatewayBind; }
    bool gatewayRunning() const { return m_gatewayRunning; }
    QStringList agents() const { return m_agents; }
    QUrl endpointURL() const { return m_endpointURL; }
    DiscoveredGateways discoveredGateways() const { return m_discoveredGateways; }
    bool isDetecting() const { return m_isDetecting; }
    bool hasMobileAgent() const { return m_hasMobileAgent; }
    bool chatEndpointEnabled() const { return m_chatEndpointEnabled; }
    QString tokenHint() const { return m_tokenHint; }
    QString binaryProblem() const { return m_binaryProblem; }
    QString lanAccessProblem() const { return m_lanAccessProblem; }
    // Tools the last search found but did not run: others could change them.
    QList<SkippedOpenClaw> skippedTools() const { return m_skippedTools; }
    // The gateway as the last run resolved it, and what its probe found.
    const GatewayTarget &target() const { return m_target; }
    const GatewayProbe &probe() const { return m_probe; }
    // A local-network browse is running.
    bool isBrowsing() const;

    QCoro::Task<> detect();
    // Switches the gateway to the local network; true only when it then
    // answers on this machine's LAN address.
    QCoro::Task<bool> enableLANAccess();
    // Binds the gateway to loopback again; true when OpenClaw took the change.
    QCoro::Task<bool> disableLANAccess();
    // Turns OpenClaw's gateway TLS on with its own writer; true once the
    // gateway answers over https with the certificate its file holds
    // (OpenClaw applies the change itself, without a new process).
    QCoro::Task<bool> enableTls();

    // Steps of detect(), public for the settings windows and tests.
    QCoro::Task<std::optional<QString>> findBinary();
    Result<std::optional<OpenClawConfig>> readConfig() const;
    void startNetworkDiscovery();
    QCoro::Task<std::optional<QString>> runCommand(QString executable, QStringList arguments);

Q_SIGNALS:
    void detectedChanged(bool);
    void binaryPathChanged(const QString &);
    void gatewayTokenChanged(const QString &);
    void gatewayPortChanged(int);
    void gatewayBindChanged(const QString &);
    void gatewayRunningChanged(bool);
    void agentsChanged(const QStringList &);
    void endpointURLChanged(const QUrl &);
    void discoveredGatewaysChanged(const halvex::DiscoveredGateways &);
    void isDetectingChanged(bool);
    void hasMobileAgentChanged(bool);
    void chatEndpointEnabledChanged(bool);
    void tokenHintChanged(const QString &);
    void binaryProblemChanged(const QString &);
    void lanAccessProblemChanged(const QString &);
    // The current browse ended (its window closed, or Avahi is not there).
    void networkDiscoveryFinished();

private:
    void applyTarget(const GatewayTarget &target);
    // A change through OpenClaw's own writer (`openclaw config patch`).
    QCoro::Task<Result<ConfigPatchVerdict>> patchConfig(QJsonObject patch);
    // gateway.bind = MODE through OpenClaw's writer, then a restart; false
    // (with OpenClaw's reason in lanAccessProblem) when it did not take it.
    QCoro::Task<bool> setBindMode(QString mode);
    // Asks `answered` every lanCheckInterval until it says yes (true) or
    // `window` ran out (false); false at once when the detector goes.
    QCoro::Task<bool> pollUntil(std::chrono::milliseconds window, std::function<QCoro::Task<bool>()> answered);
    QCoro::Task<> askToolForSettings();
    QCoro::Task<> readAgents(std::optional<OpenClawConfig> config);
    std::optional<QString> lanAddress() const;

    template <typename T, typename Signal>
    void assign(T &field, const T &value, Signal signal)
    {
        if (field == value)
            return;
        field = value;
        Q_EMIT(this->*signal)(field);
    }

    Dependencies m_deps;
    Timings m_timings;
    std::shared_ptr<CommandRunner> m_runner;

    bool m_detected = false;
    QString m_binaryPath;
    QString m_gatewayToken;
    int m_gatewayPort = OpenClawConfig::defaultPort;
    QString m_gatewayBind;
    bool m_gatewayRunning = false;
    QStringList m_agents;
    QUrl m_endpointURL = GatewayTarget::defaultEndpoint();
    DiscoveredGateways m_discoveredGateways;
    bool m_isDetecting = false;
    bool m_hasMobileAgent = false;
    bool m_chatEndpointEnabled = false;
    QString m_tokenHint;
    QString m_binaryProblem;
    QString m_lanAccessProblem;
    QList<SkippedOpenClaw> m_skippedTools;
    GatewayTarget m_target;
    GatewayProbe m_probe;
    QString m_toolVersion;

    std::unique_ptr<GatewayBrowse> m_browse;
    quint64 m_browseRun = 0; // which run's window is open
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace halvex
