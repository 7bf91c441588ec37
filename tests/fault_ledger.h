#pragma once
// The books of a fault run: every chat sent to a bridge under test, how many
// closing messages its pipeline produced, whether the relay link was up when
// it did, and what the relay received for it. Shared by the fault runs.

#include "bridge_rig.h"

#include <QHash>
#include <QSet>
#include <QTest>

#include <memory>

namespace halvex::test {

class FaultLedger
{
public:
    explicit FaultLedger(BridgeRig &rig) : m_rig(rig) { follow(); }

    // Call again after the rig made a new bridge.
    void follow()
    {
        QObject::connect(m_rig.bridge->chatPipeline(), &ChatPipeline::chatClosed, m_rig.bridge.get(),
                         [this](const QString &replyTo) {
                             ++m_closedInPipeline[replyTo];
                             // The closing message is on its way only when both
                             // ends of the relay link are up as it leaves.
                             if (relayUp())
                                 m_closedWhileUp.insert(replyTo);
                         });
    }

    bool relayUp() const
    {
        return m_rig.relay.openConnectionCount() > 0 &&
               m_rig.bridge->connectionState() == BridgeConnectionState::connected();
    }

    // Sends one chat from the relay and books it.
    void send(const QString &id, const QString &content)
    {
        m_rig.relay.sendJson(BridgeRig::chatMessage(id, QStringLiteral("u-") + id,
                                                    {{QStringLiteral("content"), content}}));
        m_sent.append(id);
    }

    bool closedInPipeline(const QString &id) const { return m_closedInPipeline.value(id) > 0; }
    int chunksAtRelay(const QString &id) const { return int(m_rig.sent(QStringLiteral("chat_stream_chunk"), id).size()); }
    int closingsAtRelay(const QString &id) const
    {
        int count = 0;
        for (const QJsonObject &o : m_rig.repliesTo(id))
            count += BridgeRig::isClosing(o) ? 1 : 0;
        return count;
    }

    // Until every booked chat got its closing message from the pipeline.
    bool waitAllClosed(int timeoutMs = 60000) const
    {
        return QTest::qWaitFor(
            [&] {
                for (const QString &id : m_sent) {
                    if (!closedInPipeline(id))
                        return false;
                }
                return m_rig.bridge->chatPipeline()->chatsInFlight() == 0;
            },
            timeoutMs);
    }

    // Checks the invariants for every chat booked since the last check: the
    // pipeline closed it exactly once; the relay got exactly one closing
    // message when the link was up as it left, and none otherwise (never
    // two). Then forgets the relay's records. False (with a test failure)
    // when one does not hold.
    bool check()
    {
        // What left while the link was up is in transit at most.
        (void)QTest::qWaitFor(
            [&] {
                for (const QString &id : std::as_const(m_closedWhileUp)) {
                    if (closingsAtRelay(id) == 0)
                        return false;
                }
                return true;
            },
            15000);
        for (const QString &id : std::as_const(m_sent)) {
            const int produced = m_closedInPipeline.value(id);
            const int received = closingsAtRelay(id);
            ++m_checked;
            if (produced != 1) {
                QTest::qFail(qPrintable(QStringLiteral("%1 closed %2 times in the bridge").arg(id).arg(produced)),
                             __FILE__, __LINE__);
                return false;
            }
            if (m_closedWhileUp.contains(id) ? received != 1 : received > 1) {
                QTest::qFail(qPrintable(QStringLiteral("%1 reached the relay with %2 closing messages (link %3)")
                                            .arg(id)
                                            .arg(received)
                                            .arg(m_closedWhileUp.contains(id) ? QStringLiteral("up")
                                                                              : QStringLiteral("down"))),
                             __FILE__, __LINE__);
                return false;
            }
            if (received == 0)
                ++m_closedWhileDown;
        }
        m_sent.clear();
        m_closedInPipeline.clear();
        m_closedWhileUp.clear();
        m_rig.relay.clearRecords();
        return true;
    }

    int checked() const { return m_checked; }
    // Chats whose closing message went while the relay link was down.
    int closedWhileDown() const { return m_closedWhileDown; }

private:
    BridgeRig &m_rig;
    QStringList m_sent;
    QHash<QString, int> m_closedInPipeline;
    QSet<QString> m_closedWhileUp;
    int m_checked = 0;
    int m_closedWhileDown = 0;
};

} // namespace halvex::test
