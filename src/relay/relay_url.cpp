#include "relay/relay_url.h"

#include "platform/deployment.h"

#include <QUrlQuery>

namespace halvex {

Result<QUrl> relayConnectionUrl(const QUrl &relayOrigin, const QString &token)
{
    const Error invalidToken = Error::plain(QStringLiteral("Invalid bridge token — cannot build relay URL"));
    // Without a host the path would become one: "wss:/" + "/ws/bridge"
    // names the host "ws".
    if (!relayOrigin.isValid() || relayOrigin.host().isEmpty())
        return Error::plain(QStringLiteral("Invalid relay origin"));
    if (relayOrigin.scheme() != QLatin1String("wss") && !isLoopbackHost(relayOrigin.host()))
        return Error::plain(
            QStringLiteral("Refusing to send the bridge token unencrypted to %1").arg(relayOrigin.host()));
    if (token.isEmpty())
        return invalidToken;
    // The result must be a valid URL whose query carries exactly this token
    // back (no '#', '&', '%' escapes, ...).
    const QString origin = relayOrigin.adjusted(QUrl::StripTrailingSlash).toString(QUrl::FullyEncoded);
    const QUrl url(origin + QStringLiteral("/ws/bridge?token=") + token, QUrl::StrictMode);
    if (!url.isValid() || url.hasFragment() || url.host() != relayOrigin.host())
        return invalidToken;
    const auto items = QUrlQuery(url).queryItems(QUrl::FullyDecoded);
    if (items.size() != 1 || items.first().first != QStringLiteral("token") || items.first().second != token)
        return invalidToken;
    return url;
}

} // namespace halvex
