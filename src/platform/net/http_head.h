#pragma once

// The parts of HTTP/1.1 that both hand-written clients (the gateway's HTTP
// stream and the WebSocket upgrade) share: the request head they build from
// a URL, and the answer's head they read.

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QUrl>

#include <utility>

namespace halvex::HttpHead {

// The request target: the encoded path ("/" when there is none) and query.
QByteArray target(const QUrl &url);
// The Host header's value: the host (an IPv6 address in brackets) and the
// URL's port, unless it has none or it is `omittedPort`.
QByteArray host(const QUrl &url, int omittedPort = -1);
// Whether text may stand in a request line or header: no CR, LF or NUL.
bool isSafeText(QByteArrayView text);

// An answer's head (up to, not including, its blank line). Lines end in LF;
// a CR before it is dropped with the other surrounding space.
struct Answer {
    QByteArray version; // "HTTP/1.1"
    int status = 0;     // 0 when the status line holds no number there
    QByteArray reason;  // the rest of the status line
    // Each "name: value" line in order: the name in lower case, both
    // trimmed. Lines without a name are left out.
    QList<std::pair<QByteArray, QByteArray>> fields;
};
Answer readAnswer(QByteArrayView head);

} // namespace halvex::HttpHead
