// Pairing approval on the tool's output: the listing parsers find only this
// device's requests (each a non-empty word), and whatever the tool prints,
// every argument list handed to the process runner is either the login
// shell's fixed PATH query or one of the three fixed commands of the tool
// itself (never through a shell), with a request id that is valid, this
// device's, and after "--".

#include "fuzz_support.h"

#include "gateway/gateway_protocol.h"
#include "gateway/pairing_approver.h"
#include "gateway/pairing_request_parser.h"

#include <QCoreApplication>

#include <qcoro/qcorotask.h>

using namespace halvex;

namespace {

const QString toolPath = QStringLiteral("/opt/open claw/bin/openclaw");
const QString deviceId = QStringLiteral("a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90");

bool isSeparator(QChar c)
{
    return c.isSpace() || (c.unicode() >= 0x2500 && c.unicode() <= 0x257F);
}

void checkParsers(const QString &json, const QString &table)
{
    if (const auto ids = PairingRequestParser::pendingRequestIdsFromJson(json, deviceId)) {
        for (const QString &id : *ids)
            FUZZ_CHECK(!id.isEmpty());
    }
    if (const auto id = PairingRequestParser::requestIdFromLines(table, deviceId)) {
        FUZZ_CHECK(!id->isEmpty());
        for (const QChar c : *id)
            FUZZ_CHECK(!isSeparator(c));
        FUZZ_CHECK(table.contains(*id));
        FUZZ_CHECK(table.contains(PairingRequestParser::shortDeviceId(deviceId), Qt::CaseInsensitive));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz::quietLogging();
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input input(data, size);
    const bool plainMissing = input.flag();
    // The JSON listing, the table and the gateway's hinted id, NUL apart.
    const QList<QByteArray> parts = input.rest().split('\0');
    const QString json = QString::fromUtf8(parts.value(0));
    const QString table = QString::fromUtf8(parts.value(1));
    const QString hint = QString::fromUtf8(parts.value(2));
    checkParsers(json, table);

    QList<ProcessRequest> recorded;
    ProcessRunner runner = [&](ProcessRequest request) -> QCoro::Task<ProcessOutcome> {
        recorded.append(request);
        ProcessOutcome outcome;
        outcome.status = ProcessOutcome::Status::finished;
        outcome.exitCode = 0;
        if (request.program != toolPath) { // the login shell, asked for its PATH
            outcome.standardOutput = "profile noise\nHALVEX_LOGIN_PATH=/usr/local/bin:/usr/bin\n";
            co_return outcome;
        }
        if (plainMissing && request.extraEnvironment.isEmpty()) {
            outcome.exitCode = 127;
            co_return outcome;
        }
        const QStringList &arguments = request.arguments;
        if (arguments.endsWith(QStringLiteral("--json")))
            outcome.standardOutput = json.toUtf8();
        else if (arguments.endsWith(QStringLiteral("list")))
            outcome.standardOutput = table.toUtf8();
        co_return outcome;
    };

    PairingApprover approver(runner, PairingApprover::Timings{});
    QCoro::Task<bool> task = approver.approve(toolPath, deviceId, hint);
    FUZZ_CHECK(task.isReady());
    const bool approved = QCoro::waitFor(task);

    // The approver reads the tool's output trimmed.
    const QStringList pending =
        PairingRequestParser::pendingRequestIdsFromJson(json.trimmed(), deviceId).value_or(QStringList{});
    bool approveSent = false;
    for (const ProcessRequest &request : std::as_const(recorded)) {
        QStringList arguments = request.arguments;
        if (request.program != toolPath) {
            // The login shell's PATH query: a fixed script, nothing of the input.
            FUZZ_CHECK(arguments.size() == 2 && arguments.at(0) == QLatin1String("-lc"));
            FUZZ_CHECK(arguments.at(1).contains(QLatin1String("HALVEX_LOGIN_PATH=")));
            FUZZ_CHECK(request.timeout > std::chrono::milliseconds::zero() && request.outputCap > 0);
            continue;
        }
        for (const QString &entry : std::as_const(request.extraEnvironment))
            FUZZ_CHECK(entry == QLatin1String("PATH=/usr/local/bin:/usr/bin"));
        FUZZ_CHECK(request.timeout > std::chrono::milliseconds::zero() && request.outputCap > 0);
        FUZZ_CHECK(arguments.value(0) == QLatin1String("devices"));
        if (arguments.value(1) == QLatin1String("list")) {
            FUZZ_CHECK(arguments ==
                           QStringList({QStringLiteral("devices"), QStringLiteral("list"), QStringLiteral("--json")}) ||
                       arguments.size() == 2);
            continue;
        }
        FUZZ_CHECK(arguments.size() == 4);
        FUZZ_CHECK(arguments.at(1) == QLatin1String("approve") && arguments.at(2) == QLatin1String("--"));
        const QString &id = arguments.at(3);
        FUZZ_CHECK(GatewayProtocol::isValidRequestId(id));
        FUZZ_CHECK(!id.startsWith(QLatin1Char('-')));
        for (const QChar c : id)
            FUZZ_CHECK(c.unicode() < 128 && (c.isLetterOrNumber() || QStringLiteral("._:-").contains(c)));
        FUZZ_CHECK(pending.contains(id) || PairingRequestParser::requestIdFromLines(table.trimmed(), deviceId) == id);
        if (pending.contains(hint) && GatewayProtocol::isValidRequestId(hint))
            FUZZ_CHECK(id == hint);
        FUZZ_CHECK(!approveSent);
        approveSent = true;
    }
    FUZZ_CHECK(approved == approveSent);
    FUZZ_CHECK(approver.state() == (approved ? PairingApprover::State::done : PairingApprover::State::failed));
    return 0;
}
