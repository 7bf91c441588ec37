#pragma once

// co_await nextEmission(sender, &Sender::signal[, timeout]) waits for the
// signal's next emission (true) or the time-out, or the sender's end (false).
//
// The waiting coroutine always resumes from the event loop, never inside the
// emitter, and at most once. Unlike a queued connection to the waiting frame,
// nothing that stays pending afterwards (a second emission in the same turn,
// a time-out racing an emission, a resume posted for a frame that has since
// ended) can reach the frame: Qt does not withdraw a queued call that was
// already posted when its connection goes.

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <coroutine>
#include <memory>
#include <utility>

namespace halvex {

namespace detail {

struct EmissionWaitState {
    std::coroutine_handle<> handle;
    bool settled = false; // the signal, the time-out or the sender's end came
    bool emitted = false;
    bool ended = false; // the awaiting expression is gone
    QMetaObject::Connection signal;
    QMetaObject::Connection senderGone;
    std::unique_ptr<QTimer> timer;

    ~EmissionWaitState() { disconnectAll(); }

    void disconnectAll()
    {
        QObject::disconnect(signal);
        QObject::disconnect(senderGone);
        if (timer) {
            timer->stop();
            QObject::disconnect(timer.get(), nullptr, nullptr, nullptr);
        }
    }

    static void settle(const std::shared_ptr<EmissionWaitState> &state, bool emitted)
    {
        if (state->settled || state->ended)
            return;
        state->settled = true;
        state->emitted = emitted;
        state->disconnectAll();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [state] {
                if (!state->ended && state->handle)
                    std::exchange(state->handle, {}).resume();
            },
            Qt::QueuedConnection);
    }
};

} // namespace detail

template <typename Sender, typename Signal>
class NextEmission
{
public:
    NextEmission(Sender *sender, Signal signal, std::chrono::milliseconds timeout)
        : m_sender(sender), m_signal(signal), m_timeout(timeout), m_state(std::make_shared<detail::EmissionWaitState>())
    {
    }
    // Movable before it is awaited (the compiler may move the operand of
    // co_await into the frame).
    NextEmission(NextEmission &&other) noexcept
        : m_sender(std::move(other.m_sender)), m_signal(other.m_signal), m_timeout(other.m_timeout),
          m_state(std::move(other.m_state))
    {
    }
    NextEmission(const NextEmission &) = delete;
    NextEmission &operator=(const NextEmission &) = delete;
    NextEmission &operator=(NextEmission &&) = delete;
    ~NextEmission()
    {
        if (!m_state)
            return;
        m_state->ended = true;
        m_state->disconnectAll();
    }

    bool await_ready() const noexcept { return m_sender.isNull(); }

    void await_suspend(std::coroutine_handle<> handle)
    {
        using State = detail::EmissionWaitState;
        m_state->handle = handle;
        const std::weak_ptr<State> weak = m_state;
        auto settle = [weak](bool emitted) {
            if (const std::shared_ptr<State> state = weak.lock())
                State::settle(state, emitted);
        };
        Sender *sender = m_sender.data();
        m_state->signal = QObject::connect(sender, m_signal, sender, [settle] { settle(true); });
        m_state->senderGone =
            QObject::connect(sender, &QObject::destroyed, QCoreApplication::instance(), [settle] { settle(false); });
        if (m_timeout.count() >= 0) {
            m_state->timer = std::make_unique<QTimer>();
            m_state->timer->setSingleShot(true);
            QTimer *timer = m_state->timer.get();
            QObject::connect(timer, &QTimer::timeout, timer, [settle] { settle(false); });
            m_state->timer->start(m_timeout);
        }
    }

    bool await_resume() const noexcept { return m_state && m_state->emitted; }

private:
    QPointer<Sender> m_sender;
    Signal m_signal;
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<detail::EmissionWaitState> m_state;
};

template <typename Sender, typename Signal>
NextEmission<Sender, Signal> nextEmission(Sender *sender, Signal signal,
                                          std::chrono::milliseconds timeout = std::chrono::milliseconds(-1))
{
    return NextEmission<Sender, Signal>(sender, signal, timeout);
}

} // namespace halvex
