#pragma once

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QStringList>

class QSocketNotifier;
class QTextStream;
class QTimer;

namespace halvex::test {
class RelayStandIn;
}

namespace halvex::demo {

// Plays the phone on the relay stand-in: reads chat lines from a file
// descriptor (standard input), sends each to the bridge as the phone does
// through the relay ("chat_message" with the conversation so far), and prints
// the streamed answer piece by piece as the "chat_stream_chunk" frames arrive.
// One line is in flight at a time; lines typed meanwhile wait their turn.
class PhoneConsole : public QObject
{
    Q_OBJECT
public:
    struct Options {
        int inputFd = 0;
        // A prompt before each line (for a terminal); otherwise each line is
        // echoed so that a transcript reads like a conversation.
        bool interactive = false;
        int answerTimeoutMs = 180000;
        // Longer lines are cut to this many bytes (the rest is dropped).
        int maxLineBytes = 16 * 1024;
        QString appUserId = QStringLiteral("demo-phone");
    };

    PhoneConsole(test::RelayStandIn *relay, QTextStream &out, Options options, QObject *parent = nullptr);
    ~PhoneConsole() override;

    // Starts reading input.
    void start();
    // Stops reading and forgets the line in flight; finished() is not emitted.
    void stop();

    int sentCount() const { return m_sent; }
    int answeredCount() const { return m_answered; }
    // "chat_stream_chunk" frames printed, over all answers.
    int chunkCount() const { return m_chunks; }

Q_SIGNALS:
    // Input ended and every line was answered, failed or timed out.
    void finished(int sent, int answered);

private:
    void readInput();
    void takeLines();
    void takeLine(const QByteArray &line);
    void sendNext();
    void onFrame(int connection);
    void endAnswer(bool answered, const QString &note);
    void maybeFinish();
    void prompt();

    test::RelayStandIn *m_relay;
    QTextStream &m_out;
    Options m_options;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_answerTimer;
    QByteArray m_buffer;
    bool m_discarding = false; // inside the rest of an overlong line
    QStringList m_pending;
    bool m_inputEnded = false;
    bool m_stopped = false;
    QString m_inFlight; // id of the message awaiting its answer
    QString m_answerSoFar;
    int m_framesSeen = 0;
    int m_sent = 0;
    int m_answered = 0;
    int m_chunks = 0;
    QJsonArray m_history;
};

} // namespace halvex::demo
