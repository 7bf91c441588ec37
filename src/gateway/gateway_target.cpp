#include "gateway/gateway_target.h"

#include "platform/characters.h"
#include "platform/deployment.h"
#include "platform/net/tls_pin.h"
#include "platform/secrets/credential_store.h"
#include "platform/settings.h"

#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>

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

// The origin a stored token or pin belongs to: the one stored with it, or
// for stores from before, the stored endpoint's, else this machine's
// gateway's (as its file or the default names it).
QString storedOrigin(const Settings *settings, const char *key, const std::optional<QUrl> &storedEndpoint,
                     const GatewayTarget &target)
{
    if (const std::optional<QString> origin = settings ? settings->string(key) : std::nullopt; origin)
        return *origin;
    if (storedEndpoint)
        return credentialOrigin(*storedEndpoint);
    const bool thisMachines = target.isLocal() || target.endpointOrigin == GatewayValueOrigin::defaultValue;
    return thisMachines ? credentialOrigin(target.endpoint) : QString();
}

} // namespace

QString credentialOrigin(const QUrl &endpoint, const QByteArray &pin)
{
    if (endpoint.host().isEmpty())
        return {};
    const QString scheme = endpoint.scheme().toLower();
    const int port = endpoint.port(scheme == QLatin1String("https") ? 443 : 80);
    QString host = endpoint.host().toLower();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString origin = QStringLiteral("%1://%2:%3").arg(scheme, host).arg(port);
    if (!pin.isEmpty())
        origin += QStringLiteral("#sha256=") + QString::fromLatin1(pin.toHex());
    return origin;
}

QString originName(GatewayValueOrigin origin)
{
    switch (origin) {
    case GatewayValueOrigin::none:
        return QStringLiteral("none");
    case GatewayValueOrigin::defaultValue:
        return QStringLiteral("default");
    case GatewayValueOrigin::settings:
        return QStringLiteral("settings");
    case GatewayValueOrigin::credentialStore:
        return QStringLiteral("credential store");
    case GatewayValueOrigin::openClawConfig:
        return QStringLiteral("openclaw.json");
    case GatewayValueOrigin::certificateFile:
        return QStringLiteral("certificate file");
    case GatewayValueOrigin::entered:
        return QStringLiteral("entered");
    }
    return {};
}

QUrl GatewayTarget::defaultEndpoint()
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(defaultPort));
}

QString GatewayTarget::mobileAgentId()
{
    return OpenClawConfig::mobileAgentId();
}

bool GatewayTarget::isLocal() const
{
    if (endpointOrigin == GatewayValueOrigin::openClawConfig)
        return true;
    return config && isLoopbackHost(endpoint.host()) && endpoint.port(-1) == config->port();
}

bool GatewayTarget::isLoopbackOnly() const
{
    if (bindMode.isEmpty() || bindMode == QLatin1String("loopback") || bindMode == QLatin1String("localhost"))
        return true;
    return bindMode == QLatin1String("custom") && customBindHost && isLoopbackHost(*customBindHost);
}

bool GatewayTarget::sendsInClear() const
{
    return endpoint.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 &&
           !isLoopbackHost(endpoint.host());
}

std::optional<bool> GatewayTarget::hasMobileAgent() const
{
    // This machine's file says nothing about a gateway elsewhere.
    if (!config || !isLocal())
        return std::nullopt;
    return config->hasMobileAgent();
}

std::optional<QUrl> GatewayTarget::phoneEndpoint(const std::optional<QString> &lanAddress) const
{
    if (!isLocal()) {
        // A gateway elsewhere is reached where the bridge reaches it, unless
        // that is a loopback address.
        if (isLoopbackHost(endpoint.host()))
            return std::nullopt;
        return endpoint;
    }
    if (!config)
        return std::nullopt;
    std::optional<QUrl> url = phoneGatewayEndpoint(*config, lanAddress);
    if (url)
        url->setPort(endpoint.port(config->port()));
    return url;
}

QJsonObject GatewayTarget::json() const
{
    const auto value = [](const QJsonValue &v, GatewayValueOrigin origin) {
        return QJsonObject{{QStringLiteral("value"), v}, {QStringLiteral("from"), originName(origin)}};
    };
    QJsonObject tls{{QStringLiteral("enabled"), tlsEnabled},
                    {QStringLiteral("certificatePath"), certificatePath},
                    {QStringLiteral("sha256"), tlsPin.isEmpty() ? QString() : formatSha256(tlsPin)},
                    {QStringLiteral("pinFrom"), originName(pinOrigin)}};
    if (!tlsProblem.isEmpty())
        tls.insert(QStringLiteral("problem"), tlsProblem);
    QJsonObject token = value(maskedSecret(this->token), tokenOrigin);
    if (!tokenProblem.isEmpty())
        token.insert(QStringLiteral("problem"), tokenProblem);
    if (authDisabled)
        token.insert(QStringLiteral("notNeeded"), true);
    QJsonObject configObject{{QStringLiteral("path"), configPath}, {QStringLiteral("found"), configFound}};
    if (!configProblem.isEmpty())
        configObject.insert(QStringLiteral("problem"), configProblem);
    QJsonObject tool{{QStringLiteral("path"), toolPath}, {QStringLiteral("version"), toolVersion}};
    if (!toolProblem.isEmpty())
        tool.insert(QStringLiteral("problem"), toolProblem);
    const std::optional<bool> mobile = hasMobileAgent();
    return QJsonObject{
        {QStringLiteral("endpoint"), value(endpoint.toString(), endpointOrigin)},
        {QStringLiteral("local"), isLocal()},
        {QStringLiteral("token"), token},
        {QStringLiteral("bind"), bindMode.isEmpty() ? QStringLiteral("loopback") : bindMode},
        {QStringLiteral("loopbackOnly"), isLoopbackOnly()},
        {QStringLiteral("inClear"), sendsInClear()},
        {QStringLiteral("listenerOwners"), QJsonArray::fromStringList(listenerOwners)},
        {QStringLiteral("tls"), tls},
        {QStringLiteral("config"), configObject},
        {QStringLiteral("tool"), tool},
        {QStringLiteral("mobileAgent"), mobile ? QJsonValue(*mobile) : QJsonValue()},
    };
}

GatewayTarget resolveGatewayTarget(const GatewaySources &sources)
{
    GatewayTarget target;
    const EnvironmentLookup environment = sources.environment ? sources.environment : processEnvironment;

    target.configPath = openClawConfigPath(sources.homeDirectory, environment);
    const Result<std::optional<OpenClawConfig>> file = loadOpenClawConfig(sources.homeDirectory, environment);
    if (!file) {
        target.configFound = true;
        target.configProblem = file.error().description();
    } else if (file.value()) {
        target.configFound = true;
        target.config = *file.value();
    }

    // The endpoint.
    const std::optional<QUrl> entered =
        sources.enteredEndpoint ? parseEndpoint(sources.enteredEndpoint->toString()) : std::nullopt;
    const std::optional<QUrl> stored =
        sources.settings ? parseEndpoint(sources.settings->string(SettingsKey::openClawEndpoint)) : std::nullopt;
    if (entered) {
        target.endpoint = *entered;
        target.endpointOrigin = GatewayValueOrigin::entered;
    } else if (stored && !sources.enteredEndpoint) {
        target.endpoint = *stored;
        target.endpointOrigin = GatewayValueOrigin::settings;
    } else if (target.config) {
        target.endpoint = localGatewayEndpoint(*target.config);
        target.endpointOrigin = GatewayValueOrigin::openClawConfig;
    }
    if (target.config) {
        target.bindMode = target.config->gatewayBind.value_or(QString());
        target.customBindHost = target.config->customBindHost;
        target.authDisabled = target.config->authDisabled;
    }
    const bool local = target.isLocal();
    if (local && target.config->tlsEnabled)
        target.endpoint.setScheme(QStringLiteral("https"));
    target.tlsEnabled = target.endpoint.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;

    // The token.
    if (sources.enteredToken && !sources.enteredToken->isEmpty()) {
        target.token = *sources.enteredToken;
        target.tokenOrigin = GatewayValueOrigin::entered;
    } else if (local && target.config->gatewayToken) {
        target.token = *target.config->gatewayToken;
        target.tokenOrigin = GatewayValueOrigin::openClawConfig;
    } else {
        if (local)
            target.tokenProblem = target.config->tokenProblem;
        const Result<std::optional<QString>> storedToken =
            sources.credentials ? sources.credentials->load(CredentialService::openClaw())
                                : Result<std::optional<QString>>(std::optional<QString>());
        const bool usable = storedToken && storedToken.value() && !storedToken.value()->isEmpty() &&
                            !isRedactedSecret(*storedToken.value());
        if (!storedToken) {
            target.tokenUnreadable = true;
            target.tokenProblem =
                QStringLiteral("The credential store cannot be read: %1").arg(storedToken.error().description());
        } else if (usable && storedOrigin(sources.settings, SettingsKey::openClawTokenOrigin, stored, target) !=
                                 credentialOrigin(target.endpoint)) {
            // A token goes only to the gateway it was stored for: an address
            // typed or picked just now gets none until the user gives one.
            if (target.tokenProblem.isEmpty())
                target.tokenProblem = QStringLiteral("No token is known for this address");
        } else if (usable) {
            target.token = *storedToken.value();
            target.tokenOrigin = GatewayValueOrigin::credentialStore;
            target.tokenProblem.clear();
        }
    }

    // The certificate pin.
    if (target.tlsEnabled && local) {
        target.certificatePath =
            target.config->tlsCertificatePath.value_or(openClawStateDirectory(sources.homeDirectory, environment) +
                                                       QStringLiteral("/gateway/tls/gateway-cert.pem"));
        const Result<QByteArray> pin = readCertificateFileSha256(target.certificatePath);
        if (pin) {
            target.tlsPin = *pin;
            target.pinOrigin = GatewayValueOrigin::certificateFile;
        } else {
            target.tlsProblem = pin.error().description();
        }
    } else if (target.tlsEnabled && sources.settings &&
               storedOrigin(sources.settings, SettingsKey::openClawTlsSha256Origin, stored, target) ==
                   credentialOrigin(target.endpoint)) {
        // The pin the user confirmed belongs to the address it was confirmed for.
        if (const std::optional<QString> text = sources.settings->string(SettingsKey::openClawTlsSha256)) {
            if (const std::optional<QByteArray> pin = parseSha256(*text)) {
                target.tlsPin = *pin;
                target.pinOrigin = GatewayValueOrigin::settings;
            }
        }
    }
    if (sources.settings) {
        for (const QString &owner :
             sources.settings->string(SettingsKey::openClawListenerOwners).value_or(QString()).split(QLatin1Char(',')))
            if (!owner.trimmed().isEmpty())
                target.listenerOwners << owner.trimmed();
    }
    return target;
}

} // namespace halvex
