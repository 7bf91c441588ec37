// The bridge as the tray and headless programs build it: in a development
// build it connects to the loopback relay that the pairing commands were
// pointed at, so a pairing made with a relay stand-in is one it can use.
#include "relay_stand_in.h"

#include "bridge/bridge_runtime.h"
#include "platform/deployment.h"
#include "platform/secrets/credential_store.h"

#include <QTest>

using halvex::BridgeRuntime;
using halvex::test::RelayStandIn;

class TestBridgeRuntime : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectsToTheRelayNamedForDevelopment()
    {
        if (!halvex::relayInsecure())
            QSKIP("Only development builds (HALVEX_RELAY_INSECURE) accept a loopback relay origin");
        RelayStandIn relay;
        const QString token = QStringLiteral("runtime-bridge-token");
        relay.acceptToken(token);
        QVERIFY(relay.start());
        qputenv("HALVEX_RELAY_WS_ORIGIN", relay.origin().toString().toUtf8());
        {
            BridgeRuntime runtime;
            QVERIFY(runtime.session().credentials()->save(halvex::CredentialService::bridge(), token).ok());
            runtime.bridgeManager()->start();
            QVERIFY(relay.waitForAccepted(1, 30000));
            QCOMPARE(relay.attempts().constFirst().token, token);
            QVERIFY(relay.waitForType(QStringLiteral("agent_card"), 30000).has_value());
            runtime.bridgeManager()->stop();
            (void)runtime.session().credentials()->deleteItem(halvex::CredentialService::bridge());
        }
        qunsetenv("HALVEX_RELAY_WS_ORIGIN");
    }
};

QTEST_GUILESS_MAIN(TestBridgeRuntime)
#include "tst_bridge_runtime.moc"
