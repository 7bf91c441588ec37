#include "gateway/openclaw_config.h"

#include "platform/json5.h"

#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonValue>
#include <QHash>

#include <algorithm>

#include <cmath>

namespace halvex {

namespace {

constexpr qsizetype maxConfigBytes = 8 * 1024 * 1024;

QJsonValue member(const QJsonObject &object, const char *path)
{
    QJsonValue value = object;
    for (const QByteArray &part : QByteArray(path).split('.')) {
        if (!value.isObject())
            return QJsonValue(QJsonValue::Undefined);
        value = value.toObject().value(QLatin1String(part));
    }
    return value;
}

std::optional<QString> stringMember(const QJsonObject &object, const char *path)
{
    const QJsonValue value = member(object, path);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

bool isNameStart(QChar c)
{
    return (c >= u'A' && c <= u'Z') || c == u'_';
}
bool isNamePart(QChar c)
{
    return isNameStart(c) || (c >= u'0' && c <= u'9');
}

// Variables the file's own "env" block sets ("env.vars.NAME" or "env.NAME").
QHash<QString, QString> fileEnvironment(const QJsonObject &document)
{
    QHash<QString, QString> vars;
    const QJsonObject env = document.value(QLatin1String("env")).toObject();
    for (auto it = env.begin(); it != env.end(); ++it) {
        if (it.value().isString())
            vars.insert(it.key(), it.value().toString());
    }
    const QJsonObject nested = env.value(QLatin1String("vars")).toObject();
    for (auto it = nested.begin(); it != nested.end(); ++it) {
        if (it.value().isString())
            vars.insert(it.key(), it.value().toString());
    }
    return vars;
}

QJsonValue resolveAll(const QJsonValue &value, const EnvironmentLookup &lookup)
{
    if (value.isString())
        return resolveEnvironmentReferences(value.toString(), lookup);
    if (value.isArray()) {
        QJsonArray array;
        for (const QJsonValue &element : value.toArray())
            array.append(resolveAll(element, lookup));
        return array;
    }
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            it.value() = resolveAll(it.value(), lookup);
        return object;
    }
    return value;
}

QString agentModel(const QJsonValue &model)
{
    if (model.isString())
        return model.toString();
    const QJsonValue primary = model.toObject().value(QLatin1String("primary"));
    return primary.isString() ? primary.toString() : QString();
}

OpenClawAgent agentFrom(const QString &id, const QJsonObject &entry)
{
    OpenClawAgent agent;
    agent.id = id;
    const QJsonValue name = entry.value(QLatin1String("name"));
    agent.name = name.isString() ? name.toString() : QString();
    agent.model = agentModel(entry.value(QLatin1String("model")));
    agent.isDefault = entry.value(QLatin1String("default")).toBool(false);
    return agent;
}

void readAgents(const QJsonObject &document, OpenClawConfig &config)
{
    const QJsonObject agents = document.value(QLatin1String("agents")).toObject();
    const QJsonValue list = agents.value(QLatin1String("list"));
    const QJsonValue entries = agents.value(QLatin1String("entries"));
    if (list.isArray()) {
        config.agentsShape = OpenClawConfig::AgentsShape::list;
        for (const QJsonValue &element : list.toArray()) {
            const QJsonValue id = element.toObject().value(QLatin1String("id"));
            if (id.isString() && !id.toString().isEmpty())
                config.agents.append(agentFrom(id.toString(), element.toObject()));
        }
    } else if (entries.isObject()) {
        config.agentsShape = OpenClawConfig::AgentsShape::entries;
        const QJsonObject map = entries.toObject();
        for (auto it = map.begin(); it != map.end(); ++it) {
            if (!it.key().isEmpty())
                config.agents.append(agentFrom(it.key(), it.value().toObject()));
        }
    }
}

void readGateway(const QJsonObject &document, const EnvironmentLookup &lookup, OpenClawConfig &config)
{
    const QJsonValue port = member(document, "gateway.port");
    if (port.isDouble()) {
        const double number = port.toDouble();
        if (number == std::floor(number) && number >= 1 && number <= 65535)
            config.gatewayPort = int(number);
    }
    config.gatewayBind = stringMember(document, "gateway.bind");
    config.customBindHost = stringMember(document, "gateway.customBindHost");
    config.chatCompletionsEnabled = member(document, "gateway.http.endpoints.chatCompletions.enabled").toBool(false);

    const std::optional<QString> written = stringMember(document, "gateway.auth.token");
    if (!written || written->isEmpty())
        return;
    bool unresolved = false;
    const QString token = resolveEnvironmentReferences(*written, lookup, &unresolved);
    if (unresolved)
        config.tokenProblem = QStringLiteral("The gateway token refers to an environment variable that is not set");
    else if (isRedactedSecret(token))
        config.tokenProblem = QStringLiteral("The gateway token in the configuration is masked");
    else if (!token.isEmpty())
        config.gatewayToken = token;
}

} // namespace

bool OpenClawConfig::hasAgent(const QString &id) const
{
    return std::any_of(agents.begin(), agents.end(), [&](const OpenClawAgent &agent) { return agent.id == id; });
}

QStringList OpenClawConfig::agentIds() const
{
    QStringList ids;
    for (const OpenClawAgent &agent : agents)
        ids.append(agent.id);
    return ids;
}

std::optional<QString> processEnvironment(const QString &name)
{
    const QByteArray key = name.toUtf8();
    if (!qEnvironmentVariableIsSet(key.constData()))
        return std::nullopt;
    return qEnvironmentVariable(key.constData());
}

QString resolveEnvironmentReferences(const QString &text, const EnvironmentLookup &lookup, bool *unresolved)
{
    QString out;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool escaped = text.at(i) == u'$' && text.mid(i + 1, 2) == QLatin1String("${");
        const qsizetype open = escaped ? i + 1 : i;
        if (text.at(open) == u'$' && text.mid(open + 1, 1) == QLatin1String("{") && open + 2 < text.size() &&
            isNameStart(text.at(open + 2))) {
            qsizetype end = open + 3;
            while (end < text.size() && isNamePart(text.at(end)))
                ++end;
            if (end < text.size() && text.at(end) == u'}') {
                const QString reference = text.mid(open, end + 1 - open);
                if (escaped) {
                    out += reference;
                } else {
                    const std::optional<QString> value =
                        lookup ? lookup(text.mid(open + 2, end - open - 2)) : std::nullopt;
                    if (value && !value->isEmpty()) {
                        out += *value;
                    } else {
                        out += reference;
                        if (unresolved)
                            *unresolved = true;
                    }
                }
                i = end + 1;
                continue;
            }
        }
        out += text.at(i);
        ++i;
    }
    return out;
}

bool isRedactedSecret(const QString &value)
{
    return value.startsWith(QLatin1String("__OPENCLAW_REDACTED"));
}

Result<OpenClawConfig> parseOpenClawConfig(const QByteArray &text, const EnvironmentLookup &lookup)
{
    Result<QJsonValue> parsed = parseJson5(text, Json5Limits{maxConfigBytes, 64});
    if (!parsed)
        return parsed.error();
    if (!parsed->isObject())
        return Error::plain(QStringLiteral("the top level is not an object"));

    OpenClawConfig config;
    config.document = parsed->toObject();
    // The process environment wins over the file's own block.
    const QHash<QString, QString> fileVars = fileEnvironment(config.document);
    const EnvironmentLookup combined = [&lookup, &fileVars](const QString &name) -> std::optional<QString> {
        std::optional<QString> value = lookup ? lookup(name) : std::nullopt;
        if ((!value || value->isEmpty()) && fileVars.contains(name))
            value = fileVars.value(name);
        return value;
    };
    readGateway(config.document, combined, config);
    readAgents(config.document, config);
    config.providers = resolveAll(member(config.document, "models.providers").toObject(), combined).toObject();
    return config;
}

QString openClawConfigPath(const QString &homeDirectory)
{
    return homeDirectory + QStringLiteral("/.openclaw/openclaw.json");
}

Result<std::optional<OpenClawConfig>> loadOpenClawConfig(const QString &homeDirectory, const EnvironmentLookup &lookup)
{
    const QString path = openClawConfigPath(homeDirectory);
    QFile file(path);
    if (!file.exists())
        return std::optional<OpenClawConfig>();
    if (!file.open(QIODevice::ReadOnly))
        return Error::plain(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    if (file.size() > maxConfigBytes)
        return Error::plain(QStringLiteral("Cannot read %1: larger than %2 bytes").arg(path).arg(maxConfigBytes));
    // What the file holds: asking for the limit itself would set aside
    // 8 MiB on every read.
    const QByteArray text = file.read(std::min<qint64>(file.size(), maxConfigBytes) + 1);
    Result<OpenClawConfig> config = parseOpenClawConfig(text, lookup);
    if (!config)
        return Error::plain(QStringLiteral("%1:%2").arg(path, config.error().description()));
    return std::optional<OpenClawConfig>(std::move(config).value());
}

QUrl gatewayEndpoint(const std::optional<QString> &bind, int port, const std::optional<QString> &lanAddress,
                     const std::optional<QString> &customBindHost)
{
    QString host = QStringLiteral("127.0.0.1");
    if (bind == QLatin1String("lan") && lanAddress && !lanAddress->isEmpty()) {
        host = *lanAddress;
    } else if (bind == QLatin1String("custom") && customBindHost) {
        // Only a literal address: the value comes from a file and ends up in
        // a URL that carries the token.
        const QHostAddress address(*customBindHost);
        if (!address.isNull() && address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6)
            host = address.toString();
    }
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(host);
    url.setPort(port);
    return url;
}

} // namespace halvex
