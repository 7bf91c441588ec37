#include "gateway/openclaw_config.h"

#include "platform/json5.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonValue>

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
        for (const QJsonArray elements = value.toArray(); const QJsonValue &element : elements)
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

// "$include" as OpenClaw reads it. Every file read is bounded, and so are
// the nesting and the number of files, so a loop of includes ends.
struct IncludeReader {
    static constexpr int maxDepth = 10;
    static constexpr int maxFiles = 64;

    QStringList roots; // canonical folders included files must lie in
    QStringList read;  // files read, in order

    Result<QJsonValue> resolve(const QJsonValue &value, const QString &folder, int depth)
    {
        if (value.isArray()) {
            QJsonArray out;
            for (const QJsonArray elements = value.toArray(); const QJsonValue &element : elements) {
                Result<QJsonValue> resolved = resolve(element, folder, depth);
                if (!resolved)
                    return resolved.error();
                out.append(*resolved);
            }
            return QJsonValue(out);
        }
        if (!value.isObject())
            return value;
        QJsonObject object = value.toObject();
        const QJsonValue include = object.take(QLatin1String("$include"));
        QJsonObject siblings;
        for (auto it = object.begin(); it != object.end(); ++it) {
            Result<QJsonValue> resolved = resolve(it.value(), folder, depth);
            if (!resolved)
                return resolved.error();
            siblings.insert(it.key(), *resolved);
        }
        if (include.isUndefined())
            return QJsonValue(siblings);

        QJsonValue base;
        if (include.isString()) {
            Result<QJsonValue> loaded = load(include.toString(), folder, depth + 1);
            if (!loaded)
                return loaded.error();
            base = *loaded;
        } else if (include.isArray()) {
            QJsonObject merged;
            for (const QJsonArray elements = include.toArray(); const QJsonValue &file : elements) {
                if (!file.isString())
                    return Error::plain(QStringLiteral("\"$include\" lists something that is not a file name"));
                Result<QJsonValue> loaded = load(file.toString(), folder, depth + 1);
                if (!loaded)
                    return loaded.error();
                if (!loaded->isObject())
                    return Error::plain(QStringLiteral("%1 does not hold an object").arg(file.toString()));
                deepMerge(merged, loaded->toObject());
            }
            base = merged;
        } else {
            return Error::plain(QStringLiteral("\"$include\" is neither a file name nor a list of them"));
        }
        if (siblings.isEmpty())
            return base;
        if (!base.isObject())
            return Error::plain(QStringLiteral("an included file that is not an object has sibling keys"));
        QJsonObject combined = base.toObject();
        deepMerge(combined, siblings);
        return QJsonValue(combined);
    }

    static void deepMerge(QJsonObject &into, const QJsonObject &from)
    {
        for (auto it = from.begin(); it != from.end(); ++it) {
            const QJsonValue existing = into.value(it.key());
            if (existing.isObject() && it.value().isObject()) {
                QJsonObject nested = existing.toObject();
                deepMerge(nested, it.value().toObject());
                into.insert(it.key(), nested);
            } else {
                into.insert(it.key(), it.value());
            }
        }
    }

    Result<QJsonValue> load(const QString &name, const QString &folder, int depth)
    {
        if (depth > maxDepth)
            return Error::plain(QStringLiteral("\"$include\" is nested more than %1 levels deep").arg(maxDepth));
        if (name.isEmpty() || name.size() >= 4096 || name.contains(QChar(0)))
            return Error::plain(QStringLiteral("\"$include\" names no usable file"));
        if (read.size() >= maxFiles)
            return Error::plain(QStringLiteral("\"$include\" reads more than %1 files").arg(maxFiles));
        const QString path = QDir::cleanPath(QDir(folder).absoluteFilePath(name));
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (canonical.isEmpty())
            return Error::plain(QStringLiteral("the included file %1 does not exist").arg(path));
        const bool inside = std::any_of(roots.begin(), roots.end(), [&](const QString &root) {
            return canonical.startsWith(root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/'));
        });
        if (!inside)
            return Error::plain(
                QStringLiteral("the included file %1 lies outside the configuration's folder").arg(path));
        QFile file(canonical);
        if (!file.open(QIODevice::ReadOnly))
            return Error::plain(QStringLiteral("cannot read the included file %1: %2").arg(path, file.errorString()));
        if (file.size() > maxConfigBytes)
            return Error::plain(
                QStringLiteral("the included file %1 is larger than %2 bytes").arg(path).arg(maxConfigBytes));
        read.append(canonical);
        Result<QJsonValue> parsed = parseJson5(file.read(maxConfigBytes + 1), Json5Limits{maxConfigBytes, 64});
        if (!parsed)
            return Error::plain(QStringLiteral("%1:%2").arg(path, parsed.error().description()));
        return resolve(*parsed, QFileInfo(canonical).absolutePath(), depth);
    }
};

QString expandHome(const QString &path, const EnvironmentLookup &lookup)
{
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/"))) {
        const std::optional<QString> home = lookup ? lookup(QStringLiteral("HOME")) : std::nullopt;
        return (home ? *home : QDir::homePath()) + path.mid(1);
    }
    return path;
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
        for (const QJsonArray elements = list.toArray(); const QJsonValue &element : elements) {
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
    config.authDisabled = stringMember(document, "gateway.auth.mode") == QLatin1String("none");
    config.tlsEnabled = member(document, "gateway.tls.enabled").toBool(false);
    if (const std::optional<QString> cert = stringMember(document, "gateway.tls.certPath"); cert && !cert->isEmpty())
        config.tlsCertificatePath = expandHome(resolveEnvironmentReferences(*cert, lookup), lookup);

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

QString OpenClawConfig::mobileAgentId()
{
    return QStringLiteral("mobile");
}

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

Result<OpenClawConfig> parseOpenClawConfig(const QByteArray &text, const EnvironmentLookup &lookup, const QString &path)
{
    Result<QJsonValue> parsed = parseJson5(text, Json5Limits{maxConfigBytes, 64});
    if (!parsed)
        return parsed.error();
    if (!parsed->isObject())
        return Error::plain(QStringLiteral("the top level is not an object"));

    OpenClawConfig config;
    config.document = parsed->toObject();
    IncludeReader includes;
    if (!path.isEmpty()) {
        const QString folder = QFileInfo(path).absolutePath();
        includes.roots.append(QFileInfo(folder).canonicalFilePath().isEmpty() ? folder
                                                                              : QFileInfo(folder).canonicalFilePath());
        const std::optional<QString> extra = lookup ? lookup(QStringLiteral("OPENCLAW_INCLUDE_ROOTS")) : std::nullopt;
        for (const QString &root : extra.value_or(QString()).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            const QString canonical = QFileInfo(root).canonicalFilePath();
            if (QDir::isAbsolutePath(root) && !canonical.isEmpty())
                includes.roots.append(canonical);
        }
    }
    Result<QJsonValue> effective = includes.resolve(config.document, QFileInfo(path).absolutePath(), 0);
    if (!effective)
        return effective.error();
    config.effective = effective->toObject();
    config.includedFiles = includes.read;
    const QJsonObject &document = config.effective;
    // The process environment wins over the file's own block.
    const QHash<QString, QString> fileVars = fileEnvironment(document);
    const EnvironmentLookup combined = [&lookup, &fileVars](const QString &name) -> std::optional<QString> {
        std::optional<QString> value = lookup ? lookup(name) : std::nullopt;
        if ((!value || value->isEmpty()) && fileVars.contains(name))
            value = fileVars.value(name);
        return value;
    };
    readGateway(document, combined, config);
    readAgents(document, config);
    config.providers = resolveAll(member(document, "models.providers").toObject(), combined).toObject();
    return config;
}

QString openClawStateDirectory(const QString &homeDirectory, const EnvironmentLookup &lookup)
{
    const std::optional<QString> state = lookup ? lookup(QStringLiteral("OPENCLAW_STATE_DIR")) : std::nullopt;
    if (state && QDir::isAbsolutePath(*state))
        return QDir::cleanPath(*state);
    return homeDirectory + QStringLiteral("/.openclaw");
}

QString openClawConfigPath(const QString &homeDirectory, const EnvironmentLookup &lookup)
{
    const std::optional<QString> path = lookup ? lookup(QStringLiteral("OPENCLAW_CONFIG_PATH")) : std::nullopt;
    if (path && QDir::isAbsolutePath(expandHome(*path, lookup)))
        return QDir::cleanPath(expandHome(*path, lookup));
    return openClawStateDirectory(homeDirectory, lookup) + QStringLiteral("/openclaw.json");
}

Result<std::optional<OpenClawConfig>> loadOpenClawConfig(const QString &homeDirectory, const EnvironmentLookup &lookup)
{
    const QString path = openClawConfigPath(homeDirectory, lookup);
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
    Result<OpenClawConfig> config = parseOpenClawConfig(text, lookup, path);
    if (!config)
        return Error::plain(QStringLiteral("%1:%2").arg(path, config.error().description()));
    return std::optional<OpenClawConfig>(std::move(config).value());
}

QUrl localGatewayEndpoint(const OpenClawConfig &config)
{
    QString host = QStringLiteral("127.0.0.1");
    if (config.gatewayBind == QLatin1String("custom") && config.customBindHost) {
        // Only a literal address: the value comes from a file and ends up in
        // a URL that carries the token.
        const QHostAddress address(*config.customBindHost);
        if (!address.isNull() && address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6 &&
            address != QHostAddress::Any)
            host = address.toString();
    }
    QUrl url;
    url.setScheme(config.tlsEnabled ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(host);
    url.setPort(config.port());
    return url;
}

std::optional<QUrl> phoneGatewayEndpoint(const OpenClawConfig &config, const std::optional<QString> &lanAddress)
{
    QUrl url = localGatewayEndpoint(config);
    if (config.gatewayBind == QLatin1String("lan")) {
        if (!lanAddress || lanAddress->isEmpty())
            return std::nullopt;
        url.setHost(*lanAddress);
        return url;
    }
    const QHostAddress host(url.host());
    if (config.gatewayBind == QLatin1String("custom") && !host.isLoopback())
        return url;
    return std::nullopt;
}

} // namespace halvex
