// Pairing auto-approval: a gateway that answers NOT_PAIRED gets this device
// approved through the openclaw tool, found in the tool's listing (JSON,
// table or plain lines), and the socket connects again; the shell runner
// that runs the tool.
#include "gateway/openclaw_device_identity.h"
#include "gateway_timings.h"
#include "gateway/openclaw_web_socket.h"
#include "gateway/pairing_request_parser.h"
#include "gateway/shell_runner.h"
#include "platform/keychain_manager.h"
#include "platform/secret_backend.h"
#include "fake_openclaw_command.h"
#include "gateway_ws_stand_in.h"
#include "log_capture.h"

#include <QTest>

#include <qcoro/qcorotimer.h>

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

// A shell runner that records every command and answers from a script.
struct ScriptedShell {
    QStringList commands;
    std::function<std::optional<QString>(const QString &command)> respond;

    ShellRunner runner()
    {
        return [this](QString command) { return run(this, std::move(command)); };
    }
    static QCoro::Task<std::optional<QString>> run(ScriptedShell *shell, QString command)
    {
        shell->commands << command;
        co_return shell->respond ? shell->respond(command) : std::nullopt;
    }
};

// A client and a gateway that knows only approved request ids; approving
// `requestId` (whatever command does it) pairs the device.
struct Rig {
    explicit Rig(ShellRunner runner = {})
        : keychain(std::make_unique<KeychainManager>(std::make_unique<MemorySecretBackend>())),
          socket(keychain.get(), test::fastGatewayTimings(), std::move(runner))
    {
        listening = gateway.listen();
        gateway.setCloseAfterRefusal(1008); // as the real gateway does
        gateway.setPairingCheck([this](const QString &) { return paired; });
    }

    QString deviceId() const { return socket.deviceIdentity()->deviceId(); }
    bool waitForState(const OpenClawWSState &state)
    {
        return QTest::qWaitFor([&] { return socket.state() == state; }, kWaitMs);
    }

    test::LogCapture log;
    GatewayWsStandIn gateway;
    bool listening = false;
    bool paired = false;
    std::unique_ptr<KeychainManager> keychain;
    OpenClawWebSocket socket;
};

} // namespace

class TstPairingApproval : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // --- finding the request id ---------------------------------------------

    void requestIdFromTheListing_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("expected"); // empty: none found
        const QString shortId = kDeviceId.left(12);

        QTest::newRow("json array, deviceId and requestId")
            << QStringLiteral(R"([{"deviceId":"other","requestId":"r0"},{"deviceId":"%1","requestId":"r1"}])")
                   .arg(kDeviceId)
            << QStringLiteral("r1");
        QTest::newRow("json array, id as device and request")
            << QStringLiteral(R"([{"id":"xx-%1-yy"}])").arg(shortId) << QStringLiteral("xx-%1-yy").arg(shortId);
        QTest::newRow("json array, deviceId and id")
            << QStringLiteral(R"([{"deviceId":"%1","id":"r2"}])").arg(kDeviceId) << QStringLiteral("r2");
        // The line form then takes the first word of the line naming the device.
        QTest::newRow("json array, match without ids falls to lines")
            << QStringLiteral(R"([{"deviceId":"%1"}])").arg(kDeviceId)
            << QStringLiteral(R"([{"deviceId":"%1"}])").arg(kDeviceId);
        QTest::newRow("json array, no match")
            << QStringLiteral(R"([{"deviceId":"other","requestId":"r3"}])") << QString();
        QTest::newRow("json object of the 2026.9 tool")
            << realJson(kDeviceId, QStringLiteral("req-9")) << QStringLiteral("req-9");
        QTest::newRow("json object, paired entries are no requests")
            << QStringLiteral(R"({"pending":[],"paired":[{"deviceId":"%1","requestId":"old"}]})").arg(kDeviceId)
            << QString();
        QTest::newRow("json after a warning line")
            << QStringLiteral("(node:1) Warning: something\n") + realJson(kDeviceId, QStringLiteral("req-10"))
            << QStringLiteral("req-10");
        QTest::newRow("table of the 2026.9 tool")
            << kRealTable << QStringLiteral("21424598-563b-4ac5-8ea8-3961d8ea7704");
        QTest::newRow("line with the short id")
            << QStringLiteral("ID DEVICE STATUS\nabc-1  other  paired\nreq-7   %1  waiting\n").arg(kDeviceId)
            << QStringLiteral("req-7");
        QTest::newRow("capitalised pending without the short id")
            << QStringLiteral("abc-1  other  paired\n  req-8  someone  PENDING\nreq-x pending\n")
            << QStringLiteral("req-8");
        QTest::newRow("the short id wins over an earlier pending line")
            << QStringLiteral("Pending requests:\nreq-11 %1\n").arg(shortId) << QStringLiteral("req-11");
        QTest::newRow("a pending line without the short id gives its first word")
            << QStringLiteral("No pending device requests.\n") << QStringLiteral("No");
        QTest::newRow("no line at all matches") << QStringLiteral("abc\ndef") << QString();
    }

    void requestIdFromTheListing()
    {
        QFETCH(QString, output);
        QFETCH(QString, expected);
        const std::optional<QString> found = PairingRequestParser::findRequestId(output, kDeviceId);
        QCOMPARE(found.value_or(QString()), expected);
    }

    // --- the approval, with a scripted tool ---------------------------------

    void notPairedIsApprovedFromTheJsonListing()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        QVERIFY(rig.listening);
        const QString path = QStringLiteral("/opt/oc/openclaw");
        shell.respond = [&](const QString &command) -> std::optional<QString> {
            if (command == path + QStringLiteral(" devices list --json 2>&1"))
                return realJson(rig.deviceId(), QStringLiteral("req-json"));
            if (command == path + QStringLiteral(" devices approve req-json")) {
                rig.paired = true;
                return QStringLiteral("Approved %1 (req-json)").arg(rig.deviceId());
            }
            return std::nullopt;
        };
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));

        QCOMPARE(shell.commands, QStringList({path + QStringLiteral(" devices list --json 2>&1"),
                                              path + QStringLiteral(" devices approve req-json")}));
        QCOMPARE(rig.log.count(QStringLiteral("Device NOT_PAIRED — attempting auto-approval...")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Approve result: Approved %1 (req-json)").arg(rig.deviceId())), 1);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("OC-WS reconnecting")), 0);
        QCOMPARE(rig.gateway.connectRecords().size(), 2);
        rig.socket.disconnect();
    }

    void theTableListingIsUsedWhenJsonIsRefused()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        const QString path = QStringLiteral("/opt/oc/openclaw");
        QString table = kRealTable;
        shell.respond = [&](const QString &command) -> std::optional<QString> {
            if (command.endsWith(QLatin1String("--json 2>&1")))
                return QStringLiteral("error: unknown option '--json'");
            if (command == path + QStringLiteral(" devices list 2>&1"))
                return table;
            if (command == path + QStringLiteral(" devices approve 21424598-563b-4ac5-8ea8-3961d8ea7704"))
                rig.paired = true;
            return std::nullopt;
        };
        // The captured table, but with this client's device id.
        table.replace(QStringLiteral("7ceb7c9eea05d5"), rig.deviceId().left(14));
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));
        QCOMPARE(shell.commands.size(), 3);
        QCOMPARE(rig.log.count(QStringLiteral("devices list: ") + table), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Approve result: <nil>")), 1);
        rig.socket.disconnect();
    }

    void theLoginShellIsTriedWhenTheToolCannotRun()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        const QString path = QStringLiteral("/usr/local/bin/openclaw");
        shell.respond = [&](const QString &command) -> std::optional<QString> {
            if (command == path + QStringLiteral(" devices list --json 2>&1"))
                return QStringLiteral("/usr/bin/env: 'node': No such file or directory");
            // Even with devices listed, the error text means the tool did not run.
            if (command == path + QStringLiteral(" devices list 2>&1"))
                return QStringLiteral("/usr/bin/env: 'node': No such file or directory\nreq-1 %1 pending")
                    .arg(rig.deviceId());
            if (command == QStringLiteral("/bin/sh -lc '") + path + QStringLiteral(" devices list' 2>&1"))
                return QStringLiteral("req-login %1 pending").arg(rig.deviceId());
            if (command == QStringLiteral("/bin/sh -lc '") + path + QStringLiteral(" devices approve req-login'")) {
                rig.paired = true;
                return QStringLiteral("Approved");
            }
            return std::nullopt;
        };
        rig.socket.setOpenClawBinaryPath(path);
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));
        QCOMPARE(rig.log.count(QStringLiteral("openclaw CLI failed — node not in PATH?")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("devices list (login shell): req-login %1 pending").arg(rig.deviceId())),
                 1);
        QCOMPARE(shell.commands.last(),
                 QStringLiteral("/bin/sh -lc '") + path + QStringLiteral(" devices approve req-login'"));
        rig.socket.disconnect();
    }

    void aToolThatNeverRunsNeedsTheUser()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        shell.respond = [](const QString &) -> std::optional<QString> { return std::nullopt; };
        rig.socket.setOpenClawBinaryPath(QStringLiteral("/opt/oc/openclaw"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::error(QStringLiteral("Device not paired — approve manually"))));
        QCOMPARE(rig.log.count(QStringLiteral("devices list: <nil>")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("devices list (login shell): <nil>")), 1);
        QCOMPARE(rig.log.count(QStringLiteral("Auto-approval failed — openclaw requires node in PATH")), 1);
        QCOMPARE(shell.commands.size(), 3);
        QTest::qWait(100);
        QCOMPARE(rig.gateway.connectionCount(), 1);
    }

    void withoutAMatchTheRequestNamedByTheGatewayOrTheDeviceIdIsApproved_data()
    {
        QTest::addColumn<QString>("hint");
        QTest::newRow("gateway names the request") << QStringLiteral("req-from-gateway");
        QTest::newRow("gateway names none") << QString();
    }

    void withoutAMatchTheRequestNamedByTheGatewayOrTheDeviceIdIsApproved()
    {
        QFETCH(QString, hint);
        ScriptedShell shell;
        Rig rig(shell.runner());
        rig.gateway.setPairingRequestId(hint);
        shell.respond = [](const QString &command) -> std::optional<QString> {
            if (command.endsWith(QLatin1String("devices list 2>&1")))
                return QStringLiteral("abc\ndef");
            return std::nullopt;
        };
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.log.waitForPrefix(QStringLiteral("Approve result: ")));
        QCOMPARE(shell.commands.last(),
                 QStringLiteral("oc devices approve ") + (hint.isEmpty() ? rig.deviceId() : hint));
        // The approval did not help: the second refusal is final.
        QVERIFY(rig.waitForState(OpenClawWSState::error(QStringLiteral("Device not paired — approve in OpenClaw"))));
        QCOMPARE(rig.log.count(QStringLiteral(
                     "Device NOT_PAIRED — auto-approval already attempted. Run: openclaw devices approve")),
                 1);
        QTest::qWait(100);
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("OC-WS reconnecting")), 0);
        QCOMPARE(rig.gateway.connectionCount(), 2);
        QCOMPARE(rig.socket.state(), OpenClawWSState::error(QStringLiteral("Device not paired — approve in OpenClaw")));
    }

    void withoutAToolPathTheDeviceStaysUnpaired()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::error(QStringLiteral("Device not paired"))));
        QCOMPARE(rig.log.count(QStringLiteral("Cannot auto-approve — openclaw binary path not set")), 1);
        QVERIFY(shell.commands.isEmpty());
        QTest::qWait(100);
        QCOMPARE(rig.gateway.connectionCount(), 1);
    }

    void aToolPathWithASpaceIsInsertedAsItIs()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        rig.socket.setOpenClawBinaryPath(QStringLiteral("/opt/my tools/openclaw"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::error(QStringLiteral("Device not paired — approve manually"))));
        QCOMPARE(shell.commands.value(0), QStringLiteral("/opt/my tools/openclaw devices list --json 2>&1"));
        QCOMPARE(shell.commands.value(1), QStringLiteral("/opt/my tools/openclaw devices list 2>&1"));
        QCOMPARE(shell.commands.value(2), QStringLiteral("/bin/sh -lc '/opt/my tools/openclaw devices list' 2>&1"));
    }

    void aDeviceRemovedLaterIsApprovedAgain()
    {
        ScriptedShell shell;
        Rig rig(shell.runner());
        int approvals = 0;
        shell.respond = [&](const QString &command) -> std::optional<QString> {
            if (command.endsWith(QLatin1String("--json 2>&1")))
                return realJson(rig.deviceId(), QStringLiteral("req-%1").arg(approvals + 1));
            if (command.contains(QLatin1String(" devices approve req-"))) {
                ++approvals;
                rig.paired = true;
            }
            return std::nullopt;
        };
        rig.gateway.setIssueDeviceTokens(false);
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));
        QCOMPARE(approvals, 1);

        // Removed in OpenClaw: the next connection is refused and approved anew.
        rig.paired = false;
        rig.gateway.dropConnections();
        QVERIFY(rig.log.waitFor(QStringLiteral("Device NOT_PAIRED — attempting auto-approval..."), 2));
        QVERIFY(QTest::qWaitFor([&] { return approvals == 2; }, kWaitMs));
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));
        QCOMPARE(shell.commands.last(), QStringLiteral("oc devices approve req-2"));
        QCOMPARE(rig.log.countStartingWith(QStringLiteral("Device NOT_PAIRED — auto-approval already attempted")), 0);
        rig.socket.disconnect();
    }

    void disconnectDuringTheApprovalStopsIt()
    {
        struct SlowShell {
            QStringList commands;
            static QCoro::Task<std::optional<QString>> run(SlowShell *shell, QString command)
            {
                shell->commands << command;
                co_await QCoro::sleepFor(std::chrono::milliseconds(300));
                co_return QStringLiteral("[]");
            }
        } shell;
        Rig rig([&shell](QString command) { return SlowShell::run(&shell, std::move(command)); });
        rig.socket.setOpenClawBinaryPath(QStringLiteral("oc"));
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(QTest::qWaitFor([&] { return shell.commands.size() == 1; }, kWaitMs));
        rig.socket.disconnect();
        QCOMPARE(rig.socket.state(), OpenClawWSState::disconnected());
        QTest::qWait(800);
        QCOMPARE(shell.commands.size(), 1);
        QCOMPARE(rig.gateway.connectionCount(), 1);
        QCOMPARE(rig.socket.state(), OpenClawWSState::disconnected());
    }

    // --- with the real shell and a fake tool --------------------------------

    void aFakeToolApprovesThroughTheRealShell()
    {
        test::FakeOpenClawCommand tool;
        QVERIFY(tool.isValid());
        Rig rig; // the real shell runner
        tool.setJsonListOutput(realJson(rig.deviceId(), QStringLiteral("req-fake")));
        rig.gateway.setPairingCheck(
            [&](const QString &) { return tool.approvedIds().contains(QStringLiteral("req-fake")); });
        rig.socket.setOpenClawBinaryPath(tool.path());
        rig.socket.connect(rig.gateway.httpUrl(), QStringLiteral("gw-token"));
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));
        QCOMPARE(tool.approvedIds(), QStringList({QStringLiteral("req-fake")}));
        QCOMPARE(tool.calls(),
                 QStringList({QStringLiteral("devices list --json"), QStringLiteral("devices approve req-fake")}));
        QCOMPARE(rig.log.count(QStringLiteral("Approve result: Approved req-fake")), 1);
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
        QVERIFY(rig.waitForState(OpenClawWSState::connected()));
        QCOMPARE(tool.approvedIds(), QStringList({requestId}));
        QCOMPARE(rig.log.count(QStringLiteral("devices list --json: error: unknown option '--json'")), 1);
        rig.socket.disconnect();
    }

    // --- runShellCommand ----------------------------------------------------

    void theShellMergesAndTrimsOutput()
    {
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("echo out; echo err 1>&2; echo more"))),
                 std::optional<QString>(QStringLiteral("out\nerr\nmore")));
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("printf '  \\n\\t hi there \\n\\n'"))),
                 std::optional<QString>(QStringLiteral("hi there")));
        // The exit status is not looked at.
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("echo failing; exit 3"))),
                 std::optional<QString>(QStringLiteral("failing")));
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("printf 'caf\\303\\251 ✓'"))),
                 std::optional<QString>(QStringLiteral("café ✓")));
    }

    void theShellGivesNothingForEmptyOrUndecodableOutput()
    {
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("true"))), std::optional<QString>());
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("printf '  \\n '"))), std::optional<QString>());
        QCOMPARE(QCoro::waitFor(runShellCommand(QStringLiteral("printf 'ab\\377\\376'"))), std::optional<QString>());
    }

    void theShellReadsLongOutput()
    {
        // More than a pipe holds: the output is read while the command runs.
        const auto output = QCoro::waitFor(
            runShellCommand(QStringLiteral("i=0; while [ $i -lt 20000 ]; do echo line-$i; i=$((i+1)); done")));
        QVERIFY(output.has_value());
        QCOMPARE(output->count(QLatin1Char('\n')), 19999);
        QVERIFY(output->endsWith(QLatin1String("line-19999")));
    }
};

QTEST_GUILESS_MAIN(TstPairingApproval)
#include "tst_pairing_approval.moc"
