// Fault run against the real OpenClaw gateway: the bridge chats through it
// over its WebSocket while the gateway's whole process group is killed
// (SIGKILL) mid-stream and started again on the same port. Every chat that
// reached the bridge gets exactly one closing message, the bridge finds the
// new gateway by itself, and memory settles.
#include "bridge_rig.h"
#include "fault_ledger.h"
#include "openclaw_gateway.h"

#include <QElapsedTimer>
#include <QTest>

#include <algorithm>
#include <limits>

using namespace halvex;
using namespace halvex::test;

namespace {
// A gateway restart took 26-43 s here (a loaded 2-core machine, the bridge
// under the sanitizers), and each round also waits for a real chat before
// and after it (a minute or more in all): twenty restarts would take over
// twenty minutes, two keep the whole fault run under five.
constexpr int kRealKills = 2;
} // namespace

class TestRealGatewayFaults : public QObject
{
    Q_OBJECT

private:
    OpenClawGateway m_gateway;

private Q_SLOTS:
    void initTestCase()
    {
        HALVEX_REQUIRE_OPENCLAW();
        QVERIFY2(m_gateway.start(), qPrintable(m_gateway.errorString()));
        qInfo("OpenClaw %s started in %lld ms", qPrintable(m_gateway.version()),
              static_cast<long long>(m_gateway.startupMs()));
    }

    void gatewayKilledMidStream()
    {
        QStringList fragments;
        // No space at either end: the gateway trims the answer.
        for (int i = 0; i < 30; ++i)
            fragments << (i == 0 ? QStringLiteral("piece0") : QStringLiteral(" piece%1").arg(i));
        const QString answer = fragments.join(QString());
        m_gateway.model()->setFragments(fragments);
        m_gateway.model()->setChunkDelayMs(60); // two seconds of streaming

        BridgeRig rig;
        rig.timings.openClawClient.chatTimeout = std::chrono::minutes(2);
        rig.timings.openClawWebSocket.challengeTimeout = std::chrono::milliseconds(10000);
        // Reconnects a second apart, and a health check that wakes a socket
        // that gave up before the new gateway came up.
        rig.timings.openClawWebSocket.link.initialDelay = std::chrono::milliseconds(500);
        rig.timings.openClawWebSocket.link.maxDelay = std::chrono::milliseconds(1000);
        rig.timings.healthCheckInterval = std::chrono::milliseconds(2000);
        QVERIFY(rig.startStandIns());
        rig.storeBridgeToken();
        rig.settings->setString(SettingsKey::openClawEndpoint, m_gateway.httpUrl().toString());
        QVERIFY(rig.credentials->save(CredentialService::openClaw(), m_gateway.token()));
        QVERIFY(rig.launch());
        const auto socketUp = [&](int timeoutMs) {
            return QTest::qWaitFor([&] { return rig.bridge->openClawWebSocket()->isUsableForChat(); }, timeoutMs);
        };
        QVERIFY2(socketUp(60000), qPrintable(rig.bridge->openClawWebSocket()->state().description()));
        FaultLedger ledger(rig);
        MemoryTrend memory(1); // idle level after the first kill
        qint64 fastestRestartMs = std::numeric_limits<qint64>::max();
        qint64 slowestRestartMs = 0;
        qint64 slowestReturnMs = 0;

        for (int kill = 1; kill <= kRealKills; ++kill) {
            const QString id = QStringLiteral("real%1").arg(kill);
            ledger.send(id, QStringLiteral("question ") + id);
            QVERIFY(QTest::qWaitFor([&] { return ledger.chunksAtRelay(id) > 0; }, 120000));
            m_gateway.kill();
            QVERIFY(ledger.waitAllClosed(60000));
            const QList<QJsonObject> cut = rig.waitForClosing(id);
            QVERIFY(!cut.isEmpty());
            QCOMPARE(text(cut.last(), "type"), QStringLiteral("chat_response"));

            QElapsedTimer restart;
            restart.start();
            QVERIFY2(m_gateway.restart(), qPrintable(m_gateway.errorString()));
            const qint64 restartMs = restart.elapsed();
            fastestRestartMs = std::min(fastestRestartMs, restartMs);
            slowestRestartMs = std::max(slowestRestartMs, restartMs);
            QElapsedTimer back;
            back.start();
            QVERIFY2(socketUp(60000), qPrintable(rig.bridge->openClawWebSocket()->state().description()));
            slowestReturnMs = std::max(slowestReturnMs, back.elapsed());

            // The new gateway answers in full.
            const QString next = QStringLiteral("next%1").arg(kill);
            ledger.send(next, QStringLiteral("question ") + next);
            verifyAnswered(rig.waitForClosing(next, 120000), next, answer);
            if (QTest::currentTestFailed())
                return;
            QVERIFY(ledger.waitAllClosed(60000));
            QVERIFY(ledger.check());
            memory.afterKill(kill);
        }
        qInfo("real gateway (OpenClaw %s) killed mid-stream: kills survived %d, chats checked %d, messages lost: 0; "
              "restart took %lld-%lld ms, socket back at most %lld ms after the gateway was healthy",
              qPrintable(m_gateway.version()), kRealKills, ledger.checked(), static_cast<long long>(fastestRestartMs),
              static_cast<long long>(slowestRestartMs), static_cast<long long>(slowestReturnMs));
        QVERIFY(memory.finish("real gateway kills", kRealKills));
    }
};

FAULT_RUN_MAIN(TestRealGatewayFaults)
#include "tst_real_gateway_faults.moc"
