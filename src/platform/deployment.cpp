#include "platform/deployment.h"

#include "build_config.h"

#include <QHostAddress>

namespace halvex {

QString appId()
{
    return QStringLiteral(HALVEX_APP_ID_STRING);
}

QString relayHost()
{
    return QStringLiteral(HALVEX_RELAY_HOST_STRING);
}

bool relayInsecure()
{
    return HALVEX_RELAY_INSECURE != 0;
}

bool isLoopbackHost(const QString &host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

QUrl relayWebSocketOrigin()
{
    return QUrl((relayInsecure() ? QStringLiteral("ws://") : QStringLiteral("wss://")) + relayHost());
}

QUrl relayHttpOrigin()
{
    return QUrl((relayInsecure() ? QStringLiteral("http://") : QStringLiteral("https://")) + relayHost());
}

QString appShortVersion()
{
    const QString v = QStringLiteral(HALVEX_SHORT_VERSION_STRING);
    return v.isEmpty() ? QStringLiteral("1.0.0") : v;
}

QString appBuildVersion()
{
    const QString v = QStringLiteral(HALVEX_BUILD_VERSION_STRING);
    return v.isEmpty() ? QStringLiteral("1") : v;
}

namespace CredentialService {
QString bridge()
{
    return appId() + QStringLiteral(".bridge");
}
QString relay()
{
    return appId() + QStringLiteral(".relay");
}
QString openClaw()
{
    return appId() + QStringLiteral(".openclaw");
}
QString openClawDeviceToken()
{
    return appId() + QStringLiteral(".openclaw.devicetoken");
}
QString openClawDeviceTokens()
{
    return appId() + QStringLiteral(".openclaw.devicetokens");
}
QString openClawDeviceKey()
{
    return appId() + QStringLiteral(".openclaw.device-key");
}
} // namespace CredentialService

} // namespace halvex
