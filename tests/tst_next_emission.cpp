// Waiting for a signal from a coroutine: resumed once, from the event loop,
// and never after the waiting frame has moved on or ended, whatever else
// was emitted or timed out in the meantime. (Run under AddressSanitizer, a
// resume reaching a freed frame fails these tests.)
#include "platform/net/next_emission.h"

#include <QTest>
#include <QThread>

#include <coroutine>
#include <exception>
#include <optional>
#include <vector>

using namespace halvex;
using namespace std::chrono_literals;

namespace {

constexpr int kWaitMs = 30000;

class Sender : public QObject
{
    Q_OBJECT
Q_SIGNALS:
    void ping();
    void valued(int value);
};

// A coroutine that starts at once and whose frame ends with this object,
// finished or not (the frame of a chat that is torn down mid-wait).
struct Frame {
    struct promise_type {
        Frame get_return_object() { return Frame{std::coroutine_handle<promise_type>::from_promise(*this)}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() { std::terminate(); }
    };
    explicit Frame(std::coroutine_handle<promise_type> h) : handle(h) {}
    Frame(Frame &&other) noexcept : handle(std::exchange(other.handle, {})) {}
    Frame(const Frame &) = delete;
    ~Frame()
    {
        if (handle)
            handle.destroy();
    }
    bool done() const { return handle && handle.done(); }
    std::coroutine_handle<promise_type> handle;
};

// Waits `rounds` times for the signal, noting each outcome.
Frame waitRounds(Sender *sender, int rounds, std::chrono::milliseconds timeout, std::vector<bool> *outcomes)
{
    for (int i = 0; i < rounds; ++i)
        outcomes->push_back(co_await nextEmission(sender, &Sender::ping, timeout));
}

// Spins the event loop until nothing is pending any more.
void drainEvents()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace

class TestNextEmission : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resumesOnceFromTheEventLoop()
    {
        Sender sender;
        std::vector<bool> outcomes;
        Frame frame = waitRounds(&sender, 1, -1ms, &outcomes);
        QVERIFY(outcomes.empty());

        Q_EMIT sender.ping();
        // Not inside the emitter: the emitting code finishes first.
        QVERIFY(outcomes.empty());
        QTRY_VERIFY_WITH_TIMEOUT(frame.done(), kWaitMs);
        QCOMPARE(outcomes, std::vector<bool>{true});
    }

    void emissionsBeforeAWaitDoNotReachIt()
    {
        // Two emissions in one turn: the first ends round one; the second
        // came before round two began and must not end it (nor touch the
        // awaiter of round one, which is gone by then).
        Sender sender;
        std::vector<bool> outcomes;
        Frame frame = waitRounds(&sender, 2, -1ms, &outcomes);
        Q_EMIT sender.ping();
        Q_EMIT sender.ping();
        QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), size_t(1), kWaitMs);
        drainEvents();
        QCOMPARE(outcomes.size(), size_t(1));
        QVERIFY(!frame.done());

        Q_EMIT sender.ping();
        QTRY_VERIFY_WITH_TIMEOUT(frame.done(), kWaitMs);
        QCOMPARE(outcomes, (std::vector<bool>{true, true}));
    }

    void timeOutAndSenderEndResumeWithFalse()
    {
        Sender sender;
        std::vector<bool> outcomes;
        Frame timedOut = waitRounds(&sender, 1, 20ms, &outcomes);
        QTRY_VERIFY_WITH_TIMEOUT(timedOut.done(), kWaitMs);
        QCOMPARE(outcomes, std::vector<bool>{false});

        auto *doomed = new Sender;
        std::vector<bool> orphaned;
        Frame waiting = waitRounds(doomed, 1, -1ms, &orphaned);
        delete doomed;
        QTRY_VERIFY_WITH_TIMEOUT(waiting.done(), kWaitMs);
        QCOMPARE(orphaned, std::vector<bool>{false});

        // A sender already gone is not waited for at all.
        std::vector<bool> none;
        Frame immediate = waitRounds(nullptr, 1, -1ms, &none);
        QVERIFY(immediate.done());
        QCOMPARE(none, std::vector<bool>{false});
    }

    void anEmissionRacingTheTimeOutCountsOnce()
    {
        // The signal comes, then the time limit passes before the event
        // loop runs again: one resume, and it says the signal came.
        Sender sender;
        std::vector<bool> outcomes;
        Frame frame = waitRounds(&sender, 1, 10ms, &outcomes);
        Q_EMIT sender.ping();
        QThread::msleep(50);
        QTRY_VERIFY_WITH_TIMEOUT(frame.done(), kWaitMs);
        drainEvents();
        QCOMPARE(outcomes, std::vector<bool>{true});
    }

    void aFrameThatEndsWhileWaitingIsNeverResumed()
    {
        // Emitted (a resume is on its way), then the frame is torn down:
        // the late resume finds nothing; later emissions neither.
        Sender sender;
        std::vector<bool> outcomes;
        {
            Frame frame = waitRounds(&sender, 1, 10ms, &outcomes);
            Q_EMIT sender.ping();
        }
        Q_EMIT sender.ping();
        QThread::msleep(30);
        drainEvents();
        QVERIFY(outcomes.empty());
    }

    void signalsWithArgumentsAreWaitedForToo()
    {
        Sender sender;
        bool came = false;
        auto wait = [](Sender *s, bool *out) -> Frame { *out = co_await nextEmission(s, &Sender::valued); };
        Frame frame = wait(&sender, &came);
        Q_EMIT sender.valued(7);
        QTRY_VERIFY_WITH_TIMEOUT(frame.done(), kWaitMs);
        QVERIFY(came);
    }
};

QTEST_GUILESS_MAIN(TestNextEmission)
#include "tst_next_emission.moc"
