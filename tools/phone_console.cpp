#include "phone_console.h"

#include "relay_stand_in.h"

#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

namespace halvex::demo {

namespace {
const QString phonePrompt = QStringLiteral("you> ");
const QString answerPrefix = QStringLiteral("agent> ");
} // namespace

PhoneConsole::PhoneConsole(test::RelayStandIn *relay, QTextStream &out, Options options, QObject *parent)
    : QObject(parent), m_relay(relay), m_out(out), m_options(std::move(options)), m_answerTimer(new QTimer(this))
{
    m_answerTimer->setSingleShot(true);
    connect(m_answerTimer, &QTimer::timeout, this, [this] {
        endAnswer(false, QStringLiteral("(no answer within %1 s)").arg(m_options.answerTimeoutMs / 1000));
    });
    connect(m_relay, &test::RelayStandIn::frameReceived, this, &PhoneConsole::onFrame);
    // Frames that came before this console existed (the agent card) are not answers.
    m_framesSeen = m_relay->frameCount();
}

PhoneConsole::~PhoneConsole() = default;

void PhoneConsole::start()
{
    m_notifier = new QSocketNotifier(m_options.inputFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &PhoneConsole::readInput);
    prompt();
}

void PhoneConsole::stop()
{
    m_stopped = true;
    m_answerTimer->stop();
    if (m_notifier)
        m_notifier->setEnabled(false);
    if (!m_inFlight.isEmpty())
        m_out << Qt::endl;
    m_inFlight.clear();
}

void PhoneConsole::prompt()
{
    if (m_options.interactive && !m_stopped && m_inFlight.isEmpty() && !m_inputEnded) {
        m_out << phonePrompt;
        m_out.flush();
    }
}

void PhoneConsole::readInput()
{
    char chunk[4096];
    const ssize_t got = ::read(m_options.inputFd, chunk, sizeof chunk);
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (got <= 0) {
        // End of input (or an unreadable one): a last line without its newline counts.
        m_notifier->setEnabled(false);
        m_inputEnded = true;
        if (!m_buffer.isEmpty() && !m_discarding)
            takeLine(m_buffer);
        m_buffer.clear();
        if (m_options.interactive && m_inFlight.isEmpty())
            m_out << Qt::endl;
        sendNext();
        maybeFinish();
        return;
    }
    m_buffer.append(chunk, got);
    takeLines();
    sendNext();
}

void PhoneConsole::takeLines()
{
    qsizetype newline;
    while ((newline = m_buffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_buffer.left(newline);
        m_buffer.remove(0, newline + 1);
        if (m_discarding)
            m_discarding = false; // the end of an overlong line, already taken
        else
            takeLine(line);
    }
    if (m_buffer.size() > m_options.maxLineBytes) {
        // Keep the start of an overlong line, drop the rest up to its end.
        if (!m_discarding)
            takeLine(m_buffer);
        m_discarding = true;
        m_buffer.clear();
    }
}

void PhoneConsole::takeLine(const QByteArray &line)
{
    if (line.size() > m_options.maxLineBytes)
        qWarning("A line longer than %d bytes was cut", m_options.maxLineBytes);
    const QString text = QString::fromUtf8(line.left(m_options.maxLineBytes)).trimmed();
    if (!text.isEmpty())
        m_pending.append(text);
    else
        prompt();
}

void PhoneConsole::sendNext()
{
    if (m_stopped || !m_inFlight.isEmpty() || m_pending.isEmpty())
        return;
    const QString text = m_pending.takeFirst();
    m_inFlight = QStringLiteral("phone-%1").arg(++m_sent);
    m_answerSoFar.clear();
    m_history.append(QJsonObject{{QStringLiteral("role"), QStringLiteral("user")}, {QStringLiteral("content"), text}});
    const QJsonObject message{
        {QStringLiteral("type"), QStringLiteral("chat_message")},
        {QStringLiteral("id"), m_inFlight},
        {QStringLiteral("appUserId"), m_options.appUserId},
        {QStringLiteral("content"), text},
        {QStringLiteral("messages"), m_history},
    };
    if (!m_options.interactive)
        m_out << phonePrompt << text << Qt::endl;
    if (!m_relay->sendJson(message)) {
        m_out << answerPrefix;
        endAnswer(false, QStringLiteral("(the bridge is not connected to the relay)"));
        return;
    }
    m_out << answerPrefix;
    m_out.flush();
    m_answerTimer->start(m_options.answerTimeoutMs);
}

void PhoneConsole::onFrame(int)
{
    const QList<test::RelayStandIn::Frame> frames = m_relay->frames();
    for (; m_framesSeen < frames.size(); ++m_framesSeen) {
        if (m_inFlight.isEmpty())
            continue;
        const std::optional<QJsonObject> json = frames.at(m_framesSeen).json();
        if (!json || json->value(QStringLiteral("reply_to")).toString() != m_inFlight)
            continue;
        const QString type = json->value(QStringLiteral("type")).toString();
        if (type == QLatin1String("chat_stream_chunk")) {
            const QString delta = json->value(QStringLiteral("delta")).toString();
            m_answerSoFar += delta;
            ++m_chunks;
            m_out << delta;
            m_out.flush();
            m_answerTimer->start(m_options.answerTimeoutMs);
        } else if (type == QLatin1String("chat_stream_end")) {
            const QString content = json->value(QStringLiteral("content")).toString();
            // An answer that came whole (no chunks) is printed at its end.
            if (m_answerSoFar.isEmpty())
                m_out << content;
            m_answerSoFar = content;
            endAnswer(!content.isEmpty(), {});
        } else if (type == QLatin1String("chat_response")) {
            m_out << json->value(QStringLiteral("content")).toString();
            endAnswer(false, {});
        }
    }
}

void PhoneConsole::endAnswer(bool answered, const QString &note)
{
    m_answerTimer->stop();
    if (!note.isEmpty())
        m_out << note;
    m_out << Qt::endl;
    if (answered) {
        ++m_answered;
        m_history.append(QJsonObject{{QStringLiteral("role"), QStringLiteral("assistant")},
                                     {QStringLiteral("content"), m_answerSoFar}});
    } else {
        // The phone drops a question that got no answer from its history.
        m_history.removeLast();
    }
    m_inFlight.clear();
    prompt();
    sendNext();
    maybeFinish();
}

void PhoneConsole::maybeFinish()
{
    if (m_stopped || !m_inputEnded || !m_inFlight.isEmpty() || !m_pending.isEmpty())
        return;
    m_stopped = true;
    Q_EMIT finished(m_sent, m_answered);
}

} // namespace halvex::demo
