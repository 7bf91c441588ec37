#include "platform/session/termination_signals.h"

#include "platform/logging.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace halvex {

namespace {

// The write end of the pipe, for the handler. Only async-signal-safe calls
// happen in the handler: it writes the signal number and leaves.
volatile sig_atomic_t g_writeFd = -1;
struct sigaction g_previous[2];
constexpr int g_signals[2] = {SIGINT, SIGTERM};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    if (g_writeFd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(g_writeFd, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent)
{
    if (g_writeFd >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0) {
        qCCritical(lcApp, "Cannot watch for termination signals: %s", std::strerror(errno));
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    g_writeFd = m_fds[1];
    m_notifier = new QSocketNotifier(m_fds[0], QSocketNotifier::Read, this);
    QObject::connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readSignal);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        ::sigaction(g_signals[i], &action, &g_previous[i]);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    for (int i = 0; i < 2; ++i)
        ::sigaction(g_signals[i], &g_previous[i], nullptr);
    g_writeFd = -1;
    ::close(m_fds[0]);
    ::close(m_fds[1]);
}

void TerminationSignals::readSignal()
{
    unsigned char byte = 0;
    while (::read(m_fds[0], &byte, 1) == 1)
        Q_EMIT received(byte);
}

} // namespace halvex
