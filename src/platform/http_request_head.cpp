#include "platform/http_request_head.h"

namespace halvex::HttpRequestHead {

QByteArray target(const QUrl &url)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toUtf8();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toUtf8();
    return target;
}

QByteArray host(const QUrl &url, int omittedPort)
{
    QByteArray host = url.host(QUrl::FullyEncoded).toUtf8();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1 && url.port() != omittedPort)
        host += ':' + QByteArray::number(url.port());
    return host;
}

bool isSafeText(QByteArrayView text)
{
    return !text.contains('\r') && !text.contains('\n') && !text.contains('\0');
}

} // namespace halvex::HttpRequestHead
