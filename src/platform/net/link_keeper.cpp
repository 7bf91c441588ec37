#include "platform/net/link_keeper.h"

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
    m_course = course;
}

void LinkKeeper::attempting()
{
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

void LinkKeeper::armHeartbeat()
{
    // The next ping is due an interval after the last frame; traffic keeps
    // pushing it out without touching the timer (see onTimer()).
    const milliseconds since(m_lastHeard.elapsed());
    m_timer->start(std::max(milliseconds(0), m_timings.heartbeatInterval - since));
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
            m_retryAtOnce = m_wakeCheck;
            m_wakeCheck = false;
            Q_EMIT silent();
            return;
        }
        const milliseconds since(m_lastHeard.elapsed());
        if (since < m_timings.heartbeatInterval) {
            m_timer->start(m_timings.heartbeatInterval - since);
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
    m_timer->stop();
    m_pingOutstanding = false;
    m_wakeCheck = false;
    if (std::exchange(m_retryAtOnce, false)) {
        // A wake-up found the path dead: the network has just changed, so
        // the next socket opens at once, as the first of a new round.
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
