#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

namespace halvex::test {

// Captures every log line written while it lives (Qt message handler), so a
// test can assert that an exact line was or was not written, and how often.
// Lines still reach the previous handler, so failures show the log.
class LogCapture
{
public:
    struct Line {
        QtMsgType type;
        QString category; // e.g. "com.halvex.bridge.WebSocket"
        QString message;
    };

    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QList<Line> lines() const;
    void clear();

    // How many lines have exactly this message (any category, any level).
    int count(const QString &message) const;
    bool contains(const QString &message) const { return count(message) > 0; }
    // How many lines start with the given prefix.
    int countStartingWith(const QString &prefix) const;
    // The messages, in order, of lines that start with the given prefix.
    QStringList messagesStartingWith(const QString &prefix) const;
    // How many lines with this exact message were written at this level.
    int count(QtMsgType type, const QString &message) const;

    // Waits (spinning the event loop) until a line with this exact message
    // was written `times` times; false on time-out.
    bool waitFor(const QString &message, int times = 1, int timeoutMs = 10000) const;
    bool waitForPrefix(const QString &prefix, int times = 1, int timeoutMs = 10000) const;

    // Whether lines also go to stderr (default: when HALVEX_TEST_LOG is set).
    static void setEcho(bool echo);
    // The program logs info and above by default; tests that read its
    // debug lines turn them on (as --verbose does).
    static void enableDebugLines();
};

} // namespace halvex::test
