#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>

class QTimer;

namespace halvex {

class WebSocketClient;

// Keeps one long-lived link alive, the same way for every link the bridge
// holds: how long to wait before the next attempt, when a quiet link is
// asked for a sign of life and when its silence means the path is gone, and
// what a wake-up (the network changed, the machine resumed, the peer is back)
// does to it.
//
// The link tells the keeper where it stands (attempting(), up(), down(),
// stop()); the keeper follows the socket of the attempt for signs of life
// itself. It answers answers with signals: pingDue() (send a ping
// now), silent() (nothing came in time: drop the socket and go on as after
// any drop) and retryDue() (open the next socket now). It holds one timer,
// which sleeps while frames keep coming.
class LinkKeeper : public QObject
{
    Q_OBJECT
public:
    struct Timings {
        // The first wait after a failed attempt; each further one doubles, up
        // to maxDelay.
        std::chrono::milliseconds initialDelay = std::chrono::seconds(1);
        std::chrono::milliseconds maxDelay = std::chrono::minutes(1);
        // Failed attempts in a row after which the keeper stops trying until
        // a wake-up or a new round; 0: it never stops.
        int attemptsPerRound = 0;
        // A link that has heard nothing for this long sends a ping, at the
        // next tick of a clock common to every keeper of the process that
        // ticks every heartbeatGrid: the pings of both links go out in one
        // wake-up of the program, not two.
        std::chrono::milliseconds heartbeatInterval = std::chrono::seconds(10);
        std::chrono::milliseconds heartbeatGrid = std::chrono::seconds(5);
        // A frame (the pong or any other) is due within this after the ping.
        // A silent path is thus noticed within interval + grid + deadline
        // (18 s) of the last frame, and replaced at once.
        std::chrono::milliseconds heartbeatDeadline = std::chrono::seconds(3);
        // After a wake-up an open link is asked at once, with this deadline.
        std::chrono::milliseconds wakeCheckDeadline = std::chrono::seconds(2);
    };

    enum class Course {
        idle,       // stopped, or never started
        attempting, // a socket is opening
        up,         // the link is open; the heartbeat runs
        waiting,    // the next attempt is due after a delay
        gaveUp,     // the round's attempts are spent; a wake-up starts another
    };
    Q_ENUM(Course)

    explicit LinkKeeper(Timings timings, QObject *parent = nullptr);

    const Timings &timings() const { return m_timings; }
    Course course() const { return m_course; }
    // Failed attempts in this round so far.
    int attempt() const { return m_attempt; }
    // The wait the next failure will get.
    std::chrono::milliseconds nextDelay() const { return m_nextDelay; }

    // --- What the link tells the keeper
    // `socket` starts opening. From now on its frames (text, binary, pongs)
    // and, while its sends are backlogged, their progress count as signs of
    // life: the kernel takes more of a full queue only because the peer
    // acknowledged earlier bytes, so a long answer going out keeps the link
    // alive while the pong waits behind it. The socket followed before is
    // let go.
    void attempting(WebSocketClient *socket);
    // The link is open: the heartbeat starts and the backoff starts over.
    void up();
    // A sign of life from the followed socket. Cheap enough for every
    // frame.
    void heard()
    {
        m_lastHeard.start();
        if (m_pingOutstanding)
            answered();
    }
    // The socket ended or the attempt failed: the next attempt waits the
    // backoff's delay (none after a failed wake-up check) and retryDue()
    // follows. Returns the wait, or nothing when the round's attempts are
    // spent (the keeper has given up until woken).
    std::optional<std::chrono::milliseconds> down();
    // No more attempts (the link was closed on purpose): timers stop and the
    // next round starts from the shortest delay.
    void stop();
    // The attempts count from the first again, with the shortest delay.
    void newRound();

    // --- Wake-ups
    // Something outside says the path may have changed. An open link is
    // asked at once with the short deadline; a link waiting for its next
    // attempt, or one that gave up, tries again now with a new round. An
    // opening or a stopped link is left alone.
    void wake();

Q_SIGNALS:
    void courseChanged(halvex::LinkKeeper::Course course);
    // Send a ping now.
    void pingDue();
    // Nothing came within the deadline after a ping: the path is gone.
    void silent();
    // Open the next socket now.
    void retryDue();

private:
    void answered();
    // Takes `socket`'s signs of life from now on (none: no socket).
    void follow(WebSocketClient *socket);
    void onTimer();
    void armHeartbeat();
    void setCourse(Course course);

    Timings m_timings;
    Course m_course = Course::idle;
    QTimer *m_timer; // child; the one timer for heartbeat and backoff
    QPointer<WebSocketClient> m_socket;
    QElapsedTimer m_lastHeard;
    bool m_pingOutstanding = false;
    // The ping outstanding was a wake-up check (its deadline is the short one).
    bool m_wakeCheck = false;
    // The last socket went silent: the path died, and the next socket opens
    // without waiting.
    bool m_retryAtOnce = false;
    int m_attempt = 0;
    std::chrono::milliseconds m_nextDelay;
};

} // namespace halvex
