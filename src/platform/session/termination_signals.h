#pragma once

#include <QObject>

class QSocketNotifier;

namespace halvex {

// Turns SIGINT and SIGTERM into a Qt signal on the event loop, so the
// program quits through its ordinary path (and logs that it terminates).
// One instance at a time.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isActive() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void received(int signalNumber);

private:
    void readSignal();

    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace halvex
