#include "platform/net/http_stream.h"

#include "platform/net/http_head.h"
#include "platform/net/listener_owner.h"
#include "platform/net/tls_pin.h"

#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace halvex {

namespace {

// One read from the socket at a time; the body buffer may pass its limit by
// at most this much.
constexpr qsizetype kReadBlock = 16 * 1024;
// A chunk-size line or a trailer line longer than this is not HTTP.
constexpr qsizetype kMaxChunkLine = 1024;

QString notHttp()
{
    return QStringLiteral("The gateway's answer is not HTTP");
}

QString cutShort()
{
    return QStringLiteral("The connection closed before the answer was complete");
}

} // namespace

HttpStream::HttpStream(QUrl url, QByteArray method, Headers headers, QByteArray body, Limits limits, QObject *parent)
    : QObject(parent), m_url(std::move(url)), m_limits(limits)
{
    using HttpHead::isSafeText;
    const QByteArray target = HttpHead::target(m_url);
    const QByteArray host = HttpHead::host(m_url);

    bool safe = isSafeText(method) && isSafeText(target) && isSafeText(host);
    m_request.reserve(256 + body.size());
    m_request += method + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (const auto &[name, value] : std::as_const(headers)) {
        safe = safe && isSafeText(name) && isSafeText(value) && !name.contains(':');
        m_carriesSecrets = m_carriesSecrets || name.compare("Authorization", Qt::CaseInsensitive) == 0;
        m_request += name + ": " + value + "\r\n";
    }
    m_request += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
    m_request += body;
    m_carriesSecrets = m_carriesSecrets || !body.isEmpty();
    if (!safe)
        m_request.clear();
}

HttpStream::~HttpStream()
{
    if (m_socket)
        m_socket->abort();
}

void HttpStream::start()
{
    const QString scheme = m_url.scheme().toLower();
    const bool tls = scheme == QLatin1String("https");
    if (m_request.isEmpty() || m_url.host().isEmpty() || (!tls && scheme != QLatin1String("http"))) {
        finish(QStringLiteral("The request to the gateway is malformed"), HttpFailure::invalidRequest);
        return;
    }
    m_idle = new QTimer(this);
    m_idle->setSingleShot(true);
    m_idle->setInterval(m_limits.idleTimeout);
    // Data moves the time-out without touching the timer (once per read
    // would be a timer re-registration per fragment): when it fires, it
    // waits on for whatever is left since the last data.
    connect(m_idle, &QTimer::timeout, this, [this] {
        const std::chrono::milliseconds quiet(m_lastData.elapsed());
        if (quiet < m_limits.idleTimeout) {
            m_idle->start(m_limits.idleTimeout - quiet);
            return;
        }
        abort(QStringLiteral("The request timed out."), HttpFailure::timedOut);
    });
    m_lastData.start();
    m_idle->start();

    QAbstractSocket *socket = nullptr;
    if (tls) {
        auto *ssl = new QSslSocket(this);
        pinCertificate(ssl, m_pin);
        connect(ssl, &QSslSocket::encrypted, this, &HttpStream::onConnected);
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
        connect(socket, &QAbstractSocket::connected, this, &HttpStream::onConnected);
    }
    m_socket = socket;
    // Full: Qt stops reading from the connection until the buffer drains.
    socket->setReadBufferSize(m_limits.bodyBufferBytes);
    connect(socket, &QAbstractSocket::readyRead, this, &HttpStream::onReadyRead);
    connect(socket, &QAbstractSocket::disconnected, this, &HttpStream::onDisconnected);
    connect(socket, &QAbstractSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError || !m_socket)
            return; // the close is read like any other end of input
        // Before the request went out there is no answer to read: the
        // connection (or its handshake) failed.
        if (m_written)
            pull();
        // A handshake refused for the pin says which certificates differ.
        const std::optional<QString> pin = pinFailure(m_socket);
        const bool tls = pin || error == QAbstractSocket::SslHandshakeFailedError ||
                         error == QAbstractSocket::SslInternalError ||
                         error == QAbstractSocket::SslInvalidUserDataError;
        finish(pin.value_or(m_socket->errorString()), tls ? HttpFailure::tls : HttpFailure::connect);
    });
    const quint16 port = quint16(m_url.port(tls ? 443 : 80));
    if (tls)
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(m_url.host(), port);
    else
        socket->connectToHost(m_url.host(), port);
}

void HttpStream::abort(const QString &reason, HttpFailure kind)
{
    m_open = false;
    m_body.clear();
    m_bodyRead = 0;
    m_scanFrom = 0;
    finish(reason, kind);
}

void HttpStream::onConnected()
{
    if (!m_socket || m_finished)
        return;
    // The request carries the token: a certificate that passed verification
    // but is not the pinned one gets none of it.
    if (const auto *ssl = qobject_cast<const QSslSocket *>(m_socket.data())) {
        if (const std::optional<QString> mismatch = pinMismatch(ssl, m_pin)) {
            finish(*mismatch, HttpFailure::tls);
            return;
        }
    }
    if (m_carriesSecrets && m_pin.isEmpty()) {
        if (const std::optional<QString> refusal = loopbackCredentialRefusal(m_url, m_listenerOwners)) {
            finish(*refusal, HttpFailure::refused);
            return;
        }
    }
    m_written = true;
    m_socket->write(m_request);
}

void HttpStream::onReadyRead()
{
    if (m_finished)
        return;
    m_lastData.start();
    if (pull())
        Q_EMIT readyRead();
}

void HttpStream::onDisconnected()
{
    if (pull())
        Q_EMIT readyRead();
}

bool HttpStream::pull()
{
    if (!m_socket || m_finished)
        return false;
    // New bytes are counted, not inferred from the buffer's size: decoding
    // may first drop what was already read.
    const qsizetype before = bytesAvailable();
    char block[kReadBlock];
    while (!m_finished && bytesAvailable() < m_limits.bodyBufferBytes && m_socket->bytesAvailable() > 0) {
        const qint64 read = m_socket->read(block, kReadBlock);
        if (read <= 0)
            break;
        QByteArrayView bytes(block, read);
        QByteArray rest;
        if (!m_headDone) {
            m_head.append(bytes);
            if (!parseHead(&rest))
                break;
            if (!m_headDone)
                continue;
            bytes = rest; // what followed the head in this block is body
        }
        qsizetype consumed = 0;
        if (!decodeBody(bytes, &consumed))
            break;
    }
    // The peer closed and everything it sent was read: the end of input.
    if (!m_finished && m_socket && m_socket->state() == QAbstractSocket::UnconnectedState &&
        m_socket->bytesAvailable() == 0 && bytesAvailable() < m_limits.bodyBufferBytes) {
        if (m_headDone && m_framing == Framing::untilClose)
            finish(std::nullopt);
        else
            finish(cutShort(), HttpFailure::cutShort);
    }
    return bytesAvailable() > before;
}

// Parses what m_head holds; once the head is complete, the bytes after it
// go to `rest`. False on a failure.
bool HttpStream::parseHead(QByteArray *rest)
{
    for (;;) {
        const qsizetype firstLf = m_head.indexOf('\n');
        if (firstLf < 0 ? !QByteArrayView("HTTP/1.").startsWith(m_head.first(std::min<qsizetype>(m_head.size(), 7)))
                        : !m_head.startsWith("HTTP/1.")) {
            finish(notHttp());
            return false;
        }
        qsizetype end = m_head.indexOf("\r\n\r\n");
        qsizetype endLength = 4;
        const qsizetype bare = m_head.indexOf("\n\n");
        if (bare >= 0 && (end < 0 || bare < end)) {
            end = bare;
            endLength = 2;
        }
        if (end < 0) {
            if (m_head.size() > m_limits.maxHeadBytes) {
                finish(QStringLiteral("The gateway's answer head is longer than %1 bytes").arg(m_limits.maxHeadBytes));
                return false;
            }
            return true;
        }
        const HttpHead::Answer head = HttpHead::readAnswer(QByteArrayView(m_head).first(end));
        const int status = head.status;
        if (status < 100 || status > 999) {
            finish(notHttp());
            return false;
        }
        if (status < 200) { // an interim answer: the real one follows
            m_head.remove(0, end + endLength);
            if (m_head.isEmpty())
                return true;
            continue;
        }
        m_framing = Framing::untilClose;
        for (const auto &[name, value] : head.fields) {
            if (name == "transfer-encoding" && value.toLower().contains("chunked")) {
                m_framing = Framing::chunked;
            } else if (name == "content-length" && m_framing != Framing::chunked) {
                bool ok = false;
                m_remaining = value.toLongLong(&ok);
                if (!ok || m_remaining < 0) {
                    finish(QStringLiteral("The gateway's answer has an invalid Content-Length"));
                    return false;
                }
                m_framing = Framing::length;
            }
        }
        m_status = status;
        m_fields = head.fields;
        m_headDone = true;
        *rest = m_head.sliced(end + endLength);
        m_head.clear();
        Q_EMIT headReceived();
        if (m_framing == Framing::length && m_remaining == 0)
            finish(std::nullopt);
        return !m_finished;
    }
}

bool HttpStream::decodeBody(QByteArrayView bytes, qsizetype *consumed)
{
    compact();
    switch (m_framing) {
    case Framing::untilClose:
        m_body.append(bytes);
        *consumed = bytes.size();
        return true;
    case Framing::length: {
        const qsizetype take = std::min<qint64>(m_remaining, bytes.size());
        m_body.append(bytes.first(take));
        m_remaining -= take;
        *consumed = bytes.size();
        if (m_remaining == 0)
            finish(std::nullopt);
        return !m_finished;
    }
    case Framing::chunked:
        break;
    }
    qsizetype at = 0;
    while (at < bytes.size() && !m_finished) {
        switch (m_chunkState) {
        case ChunkState::data: {
            const qsizetype take = std::min<qint64>(m_remaining, bytes.size() - at);
            m_body.append(bytes.sliced(at, take));
            at += take;
            m_remaining -= take;
            if (m_remaining == 0)
                m_chunkState = ChunkState::dataEnd;
            break;
        }
        case ChunkState::dataEnd: {
            const char c = bytes.at(at++);
            if (c == '\n')
                m_chunkState = ChunkState::size;
            else if (c != '\r')
                finish(QStringLiteral("The gateway's chunked answer is malformed"));
            break;
        }
        case ChunkState::size:
        case ChunkState::trailer: {
            const qsizetype lf = bytes.sliced(at).indexOf('\n');
            const qsizetype take = lf < 0 ? bytes.size() - at : lf;
            m_chunkLine.append(bytes.sliced(at, take));
            at += take;
            if (m_chunkLine.size() > kMaxChunkLine) {
                finish(QStringLiteral("The gateway's chunked answer is malformed"));
                break;
            }
            if (lf < 0)
                break;
            ++at; // the LF
            const QByteArray line = std::exchange(m_chunkLine, {}).trimmed();
            if (m_chunkState == ChunkState::trailer) {
                if (line.isEmpty())
                    finish(std::nullopt);
                break;
            }
            bool ok = false;
            const qint64 size =
                line.first(line.contains(';') ? line.indexOf(';') : line.size()).trimmed().toLongLong(&ok, 16);
            if (!ok || size < 0) {
                finish(QStringLiteral("The gateway's chunked answer is malformed"));
                break;
            }
            m_remaining = size;
            m_chunkState = size == 0 ? ChunkState::trailer : ChunkState::data;
            break;
        }
        }
    }
    *consumed = at;
    return !m_finished;
}

void HttpStream::compact()
{
    // Drops what was read once it is most of the buffer, so the buffer
    // neither grows without bound nor moves its bytes for every line.
    if (m_bodyRead > 0 && (m_bodyRead == m_body.size() || m_bodyRead > 16 * 1024)) {
        m_body.remove(0, m_bodyRead);
        m_scanFrom = std::max<qsizetype>(0, m_scanFrom - m_bodyRead);
        m_bodyRead = 0;
    }
}

QByteArray HttpStream::headerValue(QByteArrayView lowerCaseName) const
{
    for (const auto &[name, value] : m_fields) {
        if (name == lowerCaseName)
            return value;
    }
    return {};
}

bool HttpStream::canReadLine() const
{
    return m_body.indexOf('\n', std::max(m_bodyRead, m_scanFrom)) >= 0;
}

QByteArray HttpStream::readLine()
{
    const qsizetype lf = m_body.indexOf('\n', std::max(m_bodyRead, m_scanFrom));
    if (lf < 0) {
        m_scanFrom = m_body.size();
        return readAll();
    }
    QByteArray line = m_body.sliced(m_bodyRead, lf + 1 - m_bodyRead);
    m_bodyRead = lf + 1;
    m_scanFrom = m_bodyRead;
    if (bytesAvailable() == 0)
        pull();
    return line;
}

QByteArray HttpStream::readAll()
{
    QByteArray all = m_body.sliced(m_bodyRead);
    m_bodyRead = m_body.size();
    m_scanFrom = m_bodyRead;
    compact();
    pull();
    return all;
}

void HttpStream::finish(std::optional<QString> failure, HttpFailure kind)
{
    if (m_finished)
        return;
    m_finished = true;
    m_failure = std::move(failure);
    m_failureKind = kind;
    if (m_idle)
        m_idle->stop();
    if (m_socket)
        m_socket->abort();
    QTimer::singleShot(0, this, [this] { Q_EMIT finished(); });
}

} // namespace halvex
