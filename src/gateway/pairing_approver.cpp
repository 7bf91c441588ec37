#include "gateway/pairing_approver.h"

#include "gateway/gateway_protocol.h"
#include "gateway/pairing_request_parser.h"
#include "platform/characters.h"
#include "platform/logging.h"
#include "platform/session/login_environment.h"

#include <QPointer>

#include <array>

namespace halvex {

namespace {

// The tool (or the Node it starts with) could not be found or run.
bool toolMissing(const ProcessOutcome &outcome)
{
    if (outcome.status == ProcessOutcome::Status::failedToStart)
        return true;
    if (outcome.status == ProcessOutcome::Status::finished && (outcome.exitCode == 126 || outcome.exitCode == 127))
        return true;
    return outcome.standardOutput.contains("No such file or directory") ||
           outcome.standardError.contains("No such file or directory");
}

QString outputText(const ProcessOutcome &outcome)
{
    return QString::fromUtf8(outcome.standardOutput).trimmed();
}

} // namespace

PairingApprover::PairingApprover(ProcessRunner runner, Timings timings,
                                 std::shared_ptr<LoginEnvironment> loginEnvironment, QObject *parent)
    : QObject(parent), m_runner(processRunnerOrDefault(runner)), m_timings(timings),
      m_loginEnvironment(loginEnvironment ? std::move(loginEnvironment)
                         : runner         ? std::make_shared<LoginEnvironment>(std::move(runner))
                                          : LoginEnvironment::processDefault())
{
}

void PairingApprover::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    Q_EMIT stateChanged(m_state);
}

void PairingApprover::reset()
{
    m_failureText.clear();
    m_pendingRequestId.clear();
    setState(State::idle);
}

bool PairingApprover::fail(const QString &text)
{
    m_failureText = text;
    setState(State::failed);
    return false;
}

ProcessRequest PairingApprover::request(const QString &program, const QStringList &environment,
                                        const QStringList &arguments) const
{
    ProcessRequest request;
    request.program = program;
    request.arguments = arguments;
    request.extraEnvironment = environment;
    request.timeout = m_timings.processTimeout;
    request.outputCap = m_timings.outputCap;
    // The streams apart: the listing is standard output; messages about a
    // missing Node come on standard error.
    request.mergeErrorIntoOutput = false;
    return request;
}

QCoro::Task<PairingApprover::Listing> PairingApprover::list(QString toolPath, QString deviceId, QString hintedRequestId)
{
    QPointer<PairingApprover> self(this);
    // A copy: the run may outlive this object.
    const ProcessRunner run = m_runner;
    m_pendingRequestId.clear();
    Listing listing;

    // (Built outside the awaits: GCC cannot take braced lists inside them.)
    QStringList jsonListArguments{QStringLiteral("devices"), QStringLiteral("list"), QStringLiteral("--json")};
    QStringList tableListArguments{QStringLiteral("devices"), QStringLiteral("list")};
    // How the tool runs: as it is first; then with the login shell's PATH,
    // which finds a Node installed for the user's shell only. (The tool
    // itself is not looked up here: the caller names it.)
    const std::shared_ptr<LoginEnvironment> login = m_loginEnvironment;
    QStringList pending;
    // (An array, not a braced list, to stay clear of GCC's coroutine faults.)
    const std::array<bool, 2> withLoginPathInOrder{false, true};
    for (const bool withLoginPath : withLoginPathInOrder) {
        Launch launch;
        launch.program = toolPath;
        if (withLoginPath) {
            launch.environment = co_await login->environmentEntries();
            if (!self)
                co_return {};
            if (launch.environment.isEmpty())
                break;
        }
        const ProcessRequest listRequest = request(launch.program, launch.environment, jsonListArguments);
        const ProcessOutcome listed = co_await run(listRequest);
        if (!self)
            co_return {};
        if (toolMissing(listed)) {
            if (!withLoginPath)
                qCCritical(lcOcWs, "openclaw CLI failed — node not in PATH?");
            continue;
        }
        listing.usable = launch;
        if (auto ids = PairingRequestParser::pendingRequestIdsFromJson(outputText(listed), deviceId)) {
            pending = *ids;
        } else {
            // A tool without the JSON listing: the table, read strictly.
            const ProcessRequest tableRequest = request(launch.program, launch.environment, tableListArguments);
            const ProcessOutcome table = co_await run(tableRequest);
            if (!self)
                co_return {};
            if (auto id = PairingRequestParser::requestIdFromLines(outputText(table), deviceId))
                pending.append(*id);
        }
        // Other devices' requests are not logged; only what concerns ours.
        qCInfo(lcOcWs, "devices list%s: %s, %ld pending request(s) of this device",
               withLoginPath ? " (login shell)" : "", qUtf8Printable(quotedForLog(listed.describe())),
               long(pending.size()));
        break;
    }

    if (!hintedRequestId.isEmpty() && pending.contains(hintedRequestId) &&
        GatewayProtocol::isValidRequestId(hintedRequestId))
        listing.requestId = hintedRequestId;
    for (const QString &id : std::as_const(pending)) {
        if (listing.requestId.isEmpty() && GatewayProtocol::isValidRequestId(id))
            listing.requestId = id;
        else if (!GatewayProtocol::isValidRequestId(id))
            qCCritical(lcOcWs, "Ignoring malformed pairing request id %s", qUtf8Printable(quotedForLog(id, 140)));
    }
    m_pendingRequestId = listing.requestId;
    co_return listing;
}

QCoro::Task<QString> PairingApprover::findPendingRequest(QString toolPath, QString deviceId)
{
    const Listing listing = co_await list(std::move(toolPath), std::move(deviceId), {});
    co_return listing.requestId;
}

QCoro::Task<bool> PairingApprover::approve(QString toolPath, QString deviceId, QString hintedRequestId)
{
    QPointer<PairingApprover> self(this);
    // A copy: the run may outlive this object.
    const ProcessRunner run = m_runner;
    m_failureText.clear();
    setState(State::listing);

    const Listing listing = co_await list(std::move(toolPath), std::move(deviceId), std::move(hintedRequestId));
    if (!self)
        co_return false;
    if (!listing.usable) {
        qCCritical(lcOcWs, "Auto-approval failed — openclaw requires node in PATH");
        co_return fail(QStringLiteral("Device not paired — approve manually"));
    }
    const QString requestId = listing.requestId;
    if (requestId.isEmpty()) {
        qCCritical(lcOcWs, "No pending pairing request of this device to approve");
        co_return fail(notPairedText());
    }

    setState(State::approving);
    // "--": the id is never read as an option.
    QStringList approveArguments{QStringLiteral("devices"), QStringLiteral("approve"), QStringLiteral("--")};
    approveArguments.append(requestId);
    const ProcessRequest approveRequest =
        request(listing.usable->program, listing.usable->environment, approveArguments);
    const ProcessOutcome approved = co_await run(approveRequest);
    if (!self)
        co_return false;
    const QString approveOutput =
        QStringList{outputText(approved), QString::fromUtf8(approved.standardError).trimmed()}.join(QLatin1Char(' '));
    qCInfo(lcOcWs, "Approve result: %s", qUtf8Printable(quotedForLog(approveOutput.trimmed())));
    if (!approved.exitedWithSuccess()) {
        qCCritical(lcOcWs, "devices approve %s: %s", qUtf8Printable(quotedForLog(requestId)),
                   qUtf8Printable(quotedForLog(approved.describe())));
        co_return fail(notPairedText());
    }
    m_pendingRequestId.clear();
    setState(State::done);
    co_return true;
}

QString PairingApprover::manualApprovalAdvice(const QString &requestId, const QString &deviceId)
{
    // Only an id of the strict pattern is shown as a command to type.
    if (GatewayProtocol::isValidRequestId(requestId))
        return QStringLiteral("openclaw devices approve %1").arg(requestId);
    return QStringLiteral("openclaw devices list, find the request whose device id is %1, and approve it: "
                          "openclaw devices approve <its request id>")
        .arg(deviceId);
}

} // namespace halvex
