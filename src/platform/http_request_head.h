#pragma once

// The pieces of an HTTP/1.1 request head that both hand-written clients
// (the gateway's HTTP stream and the WebSocket upgrade) build from a URL.

#include <QByteArray>
#include <QByteArrayView>
#include <QUrl>

namespace halvex::HttpRequestHead {

// The request target: the encoded path ("/" when there is none) and query.
QByteArray target(const QUrl &url);
// The Host header's value: the host (an IPv6 address in brackets) and the
// URL's port, unless it has none or it is `omittedPort`.
QByteArray host(const QUrl &url, int omittedPort = -1);
// Whether text may stand in a request line or header: no CR, LF or NUL.
bool isSafeText(QByteArrayView text);

} // namespace halvex::HttpRequestHead
