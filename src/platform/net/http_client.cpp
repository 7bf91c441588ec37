#include "platform/net/http_client.h"

#include "platform/net/next_emission.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace halvex {

namespace {

constexpr int kMaxRedirects = 5;

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    const auto port = [](const QUrl &url) {
        return url.port(url.scheme().toLower() == QLatin1String("https") ? 443 : 80);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && port(a) == port(b);
}

Error failure(HttpFailure kind, QString description)
{
    return Error::plain(std::move(description), int(kind));
}

} // namespace

HttpFailure httpFailure(const Error &fetchError)
{
    return HttpFailure(fetchError.code());
}

QUrl withAppendedPath(QUrl base, const QString &path)
{
    QString own = base.path(QUrl::FullyEncoded);
    while (own.endsWith(QLatin1Char('/')))
        own.chop(1);
    base.setPath(own + path, QUrl::TolerantMode);
    base.setQuery(QString());
    base.setFragment(QString());
    return base;
}

QCoro::Task<Result<HttpAnswer>> fetch(FetchRequest request, QObject *context)
{
    const QPointer<QObject> owner(context);
    const bool owned = context != nullptr;
    const bool followsRedirects = request.redirects == RedirectPolicy::sameOrigin && request.bearerToken.isEmpty();
    QElapsedTimer clock;
    clock.start();
    QUrl url = request.url;
    for (int hop = 0;; ++hop) {
        if (owned && !owner)
            co_return failure(HttpFailure::cancelled, QStringLiteral("The request was cancelled."));
        const std::chrono::milliseconds left = request.deadline - std::chrono::milliseconds(clock.elapsed());
        if (left.count() <= 0)
            co_return failure(HttpFailure::timedOut, QStringLiteral("The request timed out."));
        HttpStream::Headers headers = request.headers;
        if (!request.bearerToken.isEmpty() && sameOrigin(url, request.url))
            headers.append({QByteArrayLiteral("Authorization"), "Bearer " + request.bearerToken.toUtf8()});
        const QPointer<HttpStream> stream =
            new HttpStream(url, request.method, headers, request.body, HttpStream::Limits{left}, owner.data());
        stream->setPinnedCertificate(request.pinnedCertificate);
        stream->setListenerOwners(request.listenerOwners);
        // The body is taken as it arrives so that an oversized one is cut
        // off before it is all in.
        auto body = std::make_shared<QByteArray>();
        const qint64 cap = request.maxBodyBytes;
        const auto take = [s = stream.data(), body, cap] {
            *body += s->readAll();
            if (body->size() > cap)
                s->abort(QStringLiteral("The answer is longer than %1 bytes").arg(cap), HttpFailure::tooLarge);
        };
        QObject::connect(stream, &HttpStream::readyRead, stream, take);
        if (request.statusOnly) {
            QObject::connect(stream, &HttpStream::headReceived, stream,
                             [s = stream.data()] { s->abort(QStringLiteral("answered"), HttpFailure::cancelled); });
        }
        auto *deadline = new QTimer(stream);
        deadline->setSingleShot(true);
        QObject::connect(deadline, &QTimer::timeout, stream, [s = stream.data()] {
            s->abort(QStringLiteral("The request timed out."), HttpFailure::timedOut);
        });
        deadline->start(left);
        stream->start();
        while (stream && !stream->isFinished())
            co_await nextEmission(stream.data(), &HttpStream::finished, left + std::chrono::seconds(5));
        if (!stream)
            co_return failure(HttpFailure::cancelled, QStringLiteral("The request was cancelled."));
        const std::unique_ptr<HttpStream> done(stream.data());
        if (!request.statusOnly || !stream->status()) {
            if (const std::optional<QString> &why = stream->failure())
                co_return failure(stream->failureKind(), *why);
            take();
            if (body->size() > cap)
                co_return failure(HttpFailure::tooLarge, QStringLiteral("The answer is longer than %1 bytes").arg(cap));
        }
        const int status = stream->status().value_or(0);
        const QByteArray location = stream->headerValue("location");
        if (followsRedirects && hop < kMaxRedirects && status >= 300 && status < 400 && status != 304 &&
            !location.isEmpty()) {
            const QUrl next = url.resolved(QUrl::fromEncoded(location, QUrl::StrictMode));
            if (next.isValid() && sameOrigin(next, request.url)) {
                url = next;
                if (status == 303) {
                    request.method = QByteArrayLiteral("GET");
                    request.body.clear();
                }
                continue;
            }
        }
        co_return HttpAnswer{status, std::move(*body)};
    }
}

} // namespace halvex
