#include "bridge/gateway_settings.h"

#include "gateway/openclaw_config.h"
#include "platform/deployment.h"
#include "platform/keychain_manager.h"
#include "platform/logging.h"
#include "platform/settings.h"

#include <optional>

namespace halvex {

namespace {

// A stored endpoint is used only when it is an absolute http(s) URL with a host.
std::optional<QUrl> parseEndpoint(const std::optional<QString> &text)
{
    if (!text)
        return std::nullopt;
    const QUrl url(text->trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    return url;
}

} // namespace

QString GatewaySettings::defaultEndpoint()
{
    return QStringLiteral("http://127.0.0.1:18789");
}

GatewaySettings GatewaySettings::load(Settings *settings, KeychainManager *keychain, const QString &homeDirectory)
{
    GatewaySettings out;
    out.endpoint = QUrl(defaultEndpoint());
    const std::optional<QUrl> stored = parseEndpoint(settings->string(SettingsKey::openClawEndpoint));
    if (stored)
        out.endpoint = *stored;
    const Result<std::optional<QString>> storedToken = keychain->load(CredentialService::openClaw());
    if (!storedToken) {
        out.tokenUnreadable = true;
        qCCritical(lcBridge, "Cannot read the OpenClaw token: %s", qUtf8Printable(storedToken.error().description()));
    } else if (storedToken.value() && !storedToken.value()->isEmpty() && !isRedactedSecret(*storedToken.value())) {
        out.token = *storedToken.value();
    }
    if (stored && (!out.token.isEmpty() || out.tokenUnreadable))
        return out;

    const Result<std::optional<OpenClawConfig>> file = loadOpenClawConfig(homeDirectory);
    if (!file) {
        qCCritical(lcBridge, "Ignoring OpenClaw config file: %s", qUtf8Printable(file.error().description()));
        return out;
    }
    if (!file.value())
        return out; // no OpenClaw configured here: defaults stay
    const OpenClawConfig &config = *file.value();

    if (out.token.isEmpty() && !out.tokenUnreadable && config.gatewayToken) {
        out.token = *config.gatewayToken;
        qCInfo(lcBridge, "Loaded OpenClaw token from config file");
        (void)keychain->save(CredentialService::openClaw(), out.token);
    }
    if (!stored) {
        // The bridge's own connection: a gateway bound to "lan" listens on
        // loopback too, and the LAN address may belong to another host after
        // a network change.
        const std::optional<QString> bind =
            config.gatewayBind == QStringLiteral("lan") ? std::optional<QString>(QStringLiteral("loopback"))
                                                         : config.gatewayBind;
        out.endpoint = gatewayEndpoint(bind, config.port(), std::nullopt, config.customBindHost);
        qCInfo(lcBridge, "Loaded OpenClaw endpoint from config file: %s", qUtf8Printable(out.endpoint.toString()));
    }
    return out;
}

} // namespace halvex
