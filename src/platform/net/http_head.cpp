#include "platform/net/http_head.h"

namespace halvex::HttpHead {

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

Answer readAnswer(QByteArrayView head)
{
    const QList<QByteArray> lines = head.toByteArray().split('\n');
    const QList<QByteArray> status = lines.value(0).trimmed().split(' ');
    Answer answer;
    answer.version = status.value(0);
    answer.status = status.value(1).toInt();
    answer.reason = status.mid(2).join(' ');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            answer.fields.append({line.first(colon).trimmed().toLower(), line.sliced(colon + 1).trimmed()});
    }
    return answer;
}

} // namespace halvex::HttpHead
