#include "platform/net/link_keeper.h"

#include "platform/net/web_socket_client.h"

#include <QTimer>

#include <algorithm>
#include <utility>

namespace halvex {

using std::chrono::milliseconds;

LinkKeeper::LinkKeeper(Timings timings, QObject *parent)
    : QObject(parent), m_timings(timings), m_timer(new QTimer(this)), m_nextDelay(timings.initialDelay)
{
    m_timer->setSingleShot(true);
    QObject::connect(m_timer, &QTimer::timeout, this, &LinkKeeper::onTimer);
}

void LinkKeeper::setCourse(Course course)
{
    if (m_course == course)
        return;
    m_course = course;
    Q_EMIT courseChanged(course);
}

void LinkKeeper::follow(WebSocketClient *socket)
{
    if (m_socket == socket)
        return;
    if (m_socket)
        QObject::disconnect(m_socket, nullptr, this, nullptr);
    m_socket = socket;
    if (!socket)
        return;
    QObject::connect(socket, &WebSocketClient::textReceived, this, &LinkKeeper::heard);
    QObject::connect(socket, &WebSocketClient::binaryReceived, this, &LinkKeeper::heard);
    QObject::connect(socket, &WebSocketClient::pong, this, &LinkKeeper::heard);
    QObject::connect(socket, &WebSocketClient::bytesWritten, this, [this, socket] {
        if (socket->bytesToWrite() > 0)
            heard();
    });
}

void LinkKeeper::attempting(WebSocketClient *socket)
{
    follow(socket);
    m_timer->stop();
    m_pingOutstanding = false;
    m_wakeCheck = false;
    setCourse(Course::attempting);
}

void LinkKeeper::up()
{
    newRound();
    m_pingOutstanding = false;
    m_wakeCheck = false;
    m_retryAtOnce = false;
    m_lastHeard.start();
    setCourse(Course::up);
    armHeartbeat();
}

namespace {

constexpr milliseconds kEarlyFiring(100);

// From now to the first tick of the common heartbeat clock (the monotonic
// clock in steps of `grid`) that is at least `wait` away.
milliseconds untilGridTick(milliseconds wait, milliseconds grid)
{
    if (grid <= milliseconds(0))
        return wait;
    // The monotonic clock, which the event loop's timers use too.
    const qint64 now =
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
    const qint64 due = now + wait.count();
    const qint64 tick = (due + grid.count() - 1) / grid.count() * grid.count();
    return milliseconds(tick - now);
}

} // namespace

void LinkKeeper::armHeartbeat()
{
    // The next ping is due an interval after the last frame; traffic keeps
    // pushing it out without touching the timer (see onTimer()).
    const milliseconds since(m_lastHeard.elapsed());
    m_timer->start(
        untilGridTick(std::max(milliseconds(0), m_timings.heartbeatInterval - since), m_timings.heartbeatGrid));
}

void LinkKeeper::answered()
{
    m_pingOutstanding = false;
    m_wakeCheck = false;
    if (m_course == Course::up)
        armHeartbeat();
}

void LinkKeeper::onTimer()
{
    switch (m_course) {
    case Course::up: {
        if (m_pingOutstanding) {
            // The deadline passed without a frame.
            m_pingOutstanding = false;
            m_wakeCheck = false;
            m_retryAtOnce = true;
            Q_EMIT silent();
            return;
        }
        // Coarse timers may fire a little early; the ticks of both links'
        // timers are rounded alike, so they still fire together.
        if (milliseconds(m_lastHeard.elapsed()) + kEarlyFiring < m_timings.heartbeatInterval) {
            armHeartbeat();
            return;
        }
        m_pingOutstanding = true;
        m_timer->start(m_timings.heartbeatDeadline);
        Q_EMIT pingDue();
        return;
    }
    case Course::waiting:
        Q_EMIT retryDue();
        return;
    case Course::idle:
    case Course::attempting:
    case Course::gaveUp:
        return;
    }
}

std::optional<milliseconds> LinkKeeper::down()
{
    follow(nullptr);
    m_timer->stop();
    m_pingOutstanding = false;
    m_wakeCheck = false;
    if (std::exchange(m_retryAtOnce, false)) {
        // The path died under an open link (the network changed, a NAT
        // forgot it): the next socket opens at once, as the first of a new
        // round.
        newRound();
        ++m_attempt;
        setCourse(Course::waiting);
        m_timer->start(0);
        return milliseconds(0);
    }
    ++m_attempt;
    if (m_timings.attemptsPerRound > 0 && m_attempt > m_timings.attemptsPerRound) {
        setCourse(Course::gaveUp);
        return std::nullopt;
    }
    const milliseconds delay = m_nextDelay;
    m_nextDelay = std::min(m_nextDelay * 2, m_timings.maxDelay);
    setCourse(Course::waiting);
    m_timer->start(delay);
    return delay;
}

void LinkKeeper::stop()
{
    follow(nullptr);
    m_timer->stop();
    m_pingOutstanding = false;
    m_wakeCheck = false;
    m_retryAtOnce = false;
    newRound();
    setCourse(Course::idle);
}

void LinkKeeper::newRound()
{
    m_attempt = 0;
    m_nextDelay = m_timings.initialDelay;
}

void LinkKeeper::wake()
{
    switch (m_course) {
    case Course::up:
        // A check already running keeps its (as short) deadline.
        if (m_pingOutstanding && m_wakeCheck)
            return;
        m_pingOutstanding = true;
        m_wakeCheck = true;
        m_timer->start(m_timings.wakeCheckDeadline);
        Q_EMIT pingDue();
        return;
    case Course::waiting:
    case Course::gaveUp:
        m_timer->stop();
        newRound();
        // Counted as the first of the new round: its failure waits the
        // shortest delay.
        setCourse(Course::waiting);
        Q_EMIT retryDue();
        return;
    case Course::idle:
    case Course::attempting:
        return;
    }
}

} // namespace halvex
