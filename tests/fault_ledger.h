#pragma once
// The books of a fault run: every chat sent to a bridge under test, how many
// closing messages its pipeline produced, whether the relay link was up when
// it did, and what the relay received for it; and the heap's trend over a
// run. Shared by the fault runs.

#include "bridge_rig.h"
#include "memory_gauge.h"

#include <QHash>
#include <QSet>
#include <QTest>

#include <algorithm>

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
        m_rig.relay.sendJson(
            BridgeRig::chatMessage(id, QStringLiteral("u-") + id, {{QStringLiteral("content"), content}}));
        m_sent.append(id);
    }

    bool closedInPipeline(const QString &id) const { return m_closedInPipeline.value(id) > 0; }
    int chunksAtRelay(const QString &id) const
    {
        return int(m_rig.sent(QStringLiteral("chat_stream_chunk"), id).size());
    }
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
                QTest::qFail(
                    qPrintable(QStringLiteral("%1 reached the relay with %2 closing messages (link %3)")
                                   .arg(id)
                                   .arg(received)
                                   .arg(m_closedWhileUp.contains(id) ? QStringLiteral("up") : QStringLiteral("down"))),
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

inline QString text(const QJsonObject &o, const char *key)
{
    return o.value(QLatin1String(key)).toString();
}

// Deleted objects go, queued calls run: what is left is what is held.
inline void settle()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

// The heap after warm-up and after the last kill.
class MemoryTrend
{
public:
    // Kills before the idle level is taken: caches and pools fill up first.
    explicit MemoryTrend(int warmUpKills = 3) : m_warmUpKills(warmUpKills) {}

    void afterKill(int kill)
    {
        if (kill != m_warmUpKills)
            return;
        settle();
        m_idle = MemoryGauge::allocatedBytes();
        m_idleResident = MemoryGauge::residentBytes();
    }
    // Prints the figures; false when the heap grew past the margin.
    bool finish(const char *run, int kills)
    {
        settle();
        const qint64 growth = MemoryGauge::allocatedBytes() - m_idle;
        const qint64 residentGrowth = MemoryGauge::residentBytes() - m_idleResident;
        const int counted = std::max(1, kills - m_warmUpKills);
        qInfo("%s: heap %+lld KiB over %d kills (%+lld bytes per kill), resident %+lld KiB", run,
              static_cast<long long>(growth / 1024), counted, static_cast<long long>(growth / counted),
              static_cast<long long>(residentGrowth / 1024));
        return growth < kMemoryMarginBytes;
    }

private:
    // A leak grows with every kill; allocator noise does not. The margin is
    // far above the noise and far below what one leaked connection per kill
    // adds up to over a run.
    static constexpr qint64 kMemoryMarginBytes = 1024 * 1024;
    int m_warmUpKills;
    qint64 m_idle = 0;
    qint64 m_idleResident = 0;
};

// The replies of an answered chat: chunks whose deltas add up to each
// accumulated text, then the end with the whole text.
inline void verifyAnswered(const QList<QJsonObject> &replies, const QString &id, const QString &answer)
{
    QVERIFY2(!replies.isEmpty() && text(replies.last(), "type") == QLatin1String("chat_stream_end"),
             qPrintable(id + QStringLiteral(" has no stream end")));
    QString accumulated;
    for (qsizetype i = 0; i + 1 < replies.size(); ++i) {
        QCOMPARE(text(replies[i], "type"), QStringLiteral("chat_stream_chunk"));
        QCOMPARE(text(replies[i], "accumulated"), accumulated + text(replies[i], "delta"));
        accumulated = text(replies[i], "accumulated");
    }
    QCOMPARE(accumulated, answer);
    QCOMPARE(text(replies.last(), "content"), answer);
}

} // namespace halvex::test

// A fault run logs thousands of lines before its figures: Qt Test's cap on
// messages must not swallow them.
#define FAULT_RUN_MAIN(TestObject)                                                                                     \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        QCoreApplication app(argc, argv);                                                                              \
        TestObject test;                                                                                               \
        QStringList arguments = app.arguments();                                                                       \
        if (!arguments.contains(QStringLiteral("-maxwarnings")))                                                       \
            arguments << QStringLiteral("-maxwarnings") << QStringLiteral("0");                                        \
        return QTest::qExec(&test, arguments);                                                                         \
    }
