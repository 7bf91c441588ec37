#pragma once

#include "platform/error.h"
#include "platform/net/http_stream.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <optional>

class QObject;

namespace halvex {

// Which redirects a request follows.
enum class RedirectPolicy {
    none,       // a 3xx is the answer
    sameOrigin, // to the same scheme, host and port only, a few hops at most
};

// One request and its answer, read whole (platform/net/http_stream.h is the
// engine; it also serves answers read as a stream).
struct FetchRequest {
    QUrl url;
    QByteArray method = QByteArrayLiteral("GET");
    HttpStream::Headers headers;
    QByteArray body;
    // Sent as "Authorization: Bearer <token>", to the request URL's origin
    // only; a request with one follows no redirect.
    QString bearerToken;
    // The whole exchange, from connecting to the last body byte.
    std::chrono::milliseconds deadline{15000};
    // A longer answer body fails the request (HttpFailure::tooLarge).
    qint64 maxBodyBytes = 256 * 1024;
    RedirectPolicy redirects = RedirectPolicy::none;
    // The status is all that is wanted: the exchange ends once the answer's
    // head is in, and the answer has no body.
    bool statusOnly = false;
    // platform/net/tls_pin.h; empty for the ordinary verification.
    QByteArray pinnedCertificate;
    // Who else may hold a loopback port that gets a token or a body
    // (platform/net/listener_owner.h).
    QStringList listenerOwners;
};

struct HttpAnswer {
    int status = 0;
    QByteArray body;
};

// Sends the request and reads the whole answer; any status is an answer.
// A failure is an Error whose description says what happened and whose
// kind httpFailure() tells. With a `context`, the request ends (cancelled)
// when the context is destroyed.
QCoro::Task<Result<HttpAnswer>> fetch(FetchRequest request, QObject *context = nullptr);

// The kind of a failure that fetch() reported.
HttpFailure httpFailure(const Error &fetchError);

// `base` with `path` ("/v1/models") after its own path, keeping any base
// path and never doubling the slash between them; without the base's query
// and fragment.
QUrl withAppendedPath(QUrl base, const QString &path);

} // namespace halvex
