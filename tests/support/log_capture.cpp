#include "log_capture.h"

#include "platform/deployment.h"

#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QTest>

namespace halvex::test {

namespace {
QMutex g_mutex;
QList<LogCapture::Line> g_lines;
int g_captures = 0;
QtMessageHandler g_previous = nullptr;
bool g_echo = qEnvironmentVariableIsSet("HALVEX_TEST_LOG");

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&g_mutex);
        g_lines.append({type, QString::fromUtf8(context.category ? context.category : ""), message});
    }
    // Qt Test's own handler fails a test on unexpected warnings only when
    // asked to; pass everything on so the output shows the log when echoing.
    if (g_echo && g_previous)
        g_previous(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (g_captures++ == 0) {
        g_lines.clear();
        g_previous = qInstallMessageHandler(handler);
    }
}

LogCapture::~LogCapture()
{
    QMutexLocker lock(&g_mutex);
    if (--g_captures == 0) {
        qInstallMessageHandler(g_previous);
        g_previous = nullptr;
    }
}

void LogCapture::setEcho(bool echo)
{
    g_echo = echo;
}

QList<LogCapture::Line> LogCapture::lines() const
{
    QMutexLocker lock(&g_mutex);
    return g_lines;
}

void LogCapture::clear()
{
    QMutexLocker lock(&g_mutex);
    g_lines.clear();
}

int LogCapture::count(const QString &message) const
{
    int n = 0;
    for (const Line &line : lines())
        n += line.message == message;
    return n;
}

int LogCapture::count(QtMsgType type, const QString &message) const
{
    int n = 0;
    for (const Line &line : lines())
        n += line.type == type && line.message == message;
    return n;
}

int LogCapture::countStartingWith(const QString &prefix) const
{
    return int(messagesStartingWith(prefix).size());
}

QStringList LogCapture::messagesStartingWith(const QString &prefix) const
{
    QStringList out;
    for (const Line &line : lines())
        if (line.message.startsWith(prefix))
            out.append(line.message);
    return out;
}

bool LogCapture::waitFor(const QString &message, int times, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return count(message) >= times; }, timeoutMs);
}

bool LogCapture::waitForPrefix(const QString &prefix, int times, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return countStartingWith(prefix) >= times; }, timeoutMs);
}

void LogCapture::enableDebugLines()
{
    QLoggingCategory::setFilterRules(appId() + QStringLiteral(".*.debug=true"));
}

} // namespace halvex::test
