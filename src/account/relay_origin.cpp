#include "account/relay_origin.h"

#include "platform/deployment.h"

#include <QHostAddress>

namespace halvex {

bool isLoopbackOrigin(const QUrl &url, const QString &scheme)
{
    if (!url.isValid() || url.scheme() != scheme || url.host().isEmpty())
        return false;
    if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
        return false;
    if (url.host() == QLatin1String("localhost"))
        return true;
    const QHostAddress address(url.host());
    return !address.isNull() && address.isLoopback();
}

Result<RelayOrigins> relayOriginsForCommands()
{
    RelayOrigins origins{relayHttpOrigin(), relayWebSocketOrigin()};
    const QString http = qEnvironmentVariable("HALVEX_RELAY_ORIGIN");
    const QString ws = qEnvironmentVariable("HALVEX_RELAY_WS_ORIGIN");
    if (http.isEmpty() && ws.isEmpty())
        return origins;
    auto refuse = [](const QString &why) { return Result<RelayOrigins>(Error::plain(why)); };
    if (!relayInsecure())
        return refuse(QStringLiteral("HALVEX_RELAY_ORIGIN and HALVEX_RELAY_WS_ORIGIN are development aids that "
                                     "this build does not accept; unset them."));
    if (!http.isEmpty()) {
        const QUrl url(http);
        if (!isLoopbackOrigin(url, QStringLiteral("http")))
            return refuse(QStringLiteral("HALVEX_RELAY_ORIGIN must be a loopback http:// origin, "
                                         "e.g. http://127.0.0.1:8080."));
        origins.http = url.adjusted(QUrl::StripTrailingSlash);
        QUrl derived = origins.http;
        derived.setScheme(QStringLiteral("ws"));
        origins.webSocket = derived;
    }
    if (!ws.isEmpty()) {
        const QUrl url(ws);
        if (!isLoopbackOrigin(url, QStringLiteral("ws")))
            return refuse(QStringLiteral("HALVEX_RELAY_WS_ORIGIN must be a loopback ws:// origin, "
                                         "e.g. ws://127.0.0.1:8081."));
        origins.webSocket = url.adjusted(QUrl::StripTrailingSlash);
    }
    return origins;
}

} // namespace halvex
