#include "gateway/openclaw_config_patch.h"

#include "platform/characters.h"
#include "platform/logging.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace halvex {

namespace {

// OpenClaw's own cap on a patch read from standard input.
constexpr qsizetype kStdinLimit = 1024 * 1024;

bool isOne(const EnvironmentLookup &environment, const char *name)
{
    return environment(QString::fromLatin1(name)).value_or(QString()) == QLatin1String("1");
}

// OpenClaw's lines, each cleaned for showing (control characters escaped),
// without the bookkeeping it prints on every write.
QStringList meaningfulLines(const QByteArray &text)
{
    QStringList lines;
    for (QString line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1String("Config overwrite:")) ||
            line.startsWith(QLatin1String("Config write anomaly:")))
            continue;
        if (line.startsWith(QLatin1String("Error: ")))
            line.remove(0, 7);
        lines.append(quotedForLog(line, 500));
    }
    return lines;
}

// Why a dry run failed, from `--dry-run --json`'s "errors".
QString dryRunReason(const QJsonObject &answer)
{
    QStringList reasons;
    for (const QJsonArray elements = answer.value(QStringLiteral("errors")).toArray();
         const QJsonValue &value : elements) {
        QString message = value.toObject().value(QStringLiteral("message")).toString().trimmed();
        while (message.startsWith(QLatin1String("- ")))
            message.remove(0, 2);
        if (!message.isEmpty())
            reasons.append(quotedForLog(message, 500));
    }
    return reasons.join(QStringLiteral("; "));
}

} // namespace

bool openClawConfigIsReadOnly(const EnvironmentLookup &environment)
{
    const EnvironmentLookup &env = environment ? environment : EnvironmentLookup(processEnvironment);
    return isOne(env, "OPENCLAW_CONFIG_READONLY") || isOne(env, "OPENCLAW_NIX_MODE");
}

QString openClawReadOnlySentence(const EnvironmentLookup &environment)
{
    const EnvironmentLookup &env = environment ? environment : EnvironmentLookup(processEnvironment);
    const QString variable = isOne(env, "OPENCLAW_CONFIG_READONLY") ? QStringLiteral("OPENCLAW_CONFIG_READONLY=1")
                                                                    : QStringLiteral("OPENCLAW_NIX_MODE=1");
    return QStringLiteral("OpenClaw's configuration is managed elsewhere (%1): change it where it is deployed from")
        .arg(variable);
}

QJsonObject configMergePatch(const QJsonObject &before, const QJsonObject &after)
{
    QJsonObject patch;
    for (auto it = after.begin(); it != after.end(); ++it) {
        const QJsonValue old = before.value(it.key());
        if (old == it.value())
            continue;
        if (old.isObject() && it.value().isObject()) {
            const QJsonObject inner = configMergePatch(old.toObject(), it.value().toObject());
            if (!inner.isEmpty())
                patch.insert(it.key(), inner);
        } else {
            patch.insert(it.key(), it.value());
        }
    }
    for (auto it = before.begin(); it != before.end(); ++it) {
        if (!after.contains(it.key()))
            patch.insert(it.key(), QJsonValue::Null);
    }
    return patch;
}

OpenClawConfigPatcher::OpenClawConfigPatcher(Options options) : m_options(std::move(options))
{
    m_options.runner = processRunnerOrDefault(std::move(m_options.runner));
    if (!m_options.environment)
        m_options.environment = processEnvironment;
}

QCoro::Task<Result<ConfigPatchVerdict>> OpenClawConfigPatcher::apply(QJsonObject patch, bool dryRun)
{
    // Older releases write a read-only configuration anyway: the rule holds
    // here whatever the installed release does.
    if (openClawConfigIsReadOnly(m_options.environment))
        co_return Error::plain(openClawReadOnlySentence(m_options.environment));
    const QByteArray input = QJsonDocument(patch).toJson(QJsonDocument::Compact);
    if (input.size() > kStdinLimit)
        co_return Error::plain(QStringLiteral("The change is larger than OpenClaw takes in one patch (1 MiB)"));

    ProcessRequest request;
    request.program = m_options.tool.program;
    request.arguments = m_options.tool.leadingArguments;
    request.arguments << QStringLiteral("config") << QStringLiteral("patch") << QStringLiteral("--stdin");
    if (dryRun)
        request.arguments << QStringLiteral("--dry-run") << QStringLiteral("--json");
    request.standardInput = input;
    request.timeout = m_options.timeout;
    request.outputCap = 1 << 20;
    QCoro::Task<ProcessOutcome> running = m_options.runner(std::move(request));
    const ProcessOutcome outcome = co_await std::move(running);

    if (outcome.status != ProcessOutcome::Status::finished) {
        qCWarning(lcDetector, "openclaw config patch %s", qUtf8Printable(quotedForLog(outcome.describe())));
        co_return Error::plain(
            QStringLiteral("OpenClaw's config writer %1; nothing was changed").arg(outcome.describe()));
    }
    const QStringList out = meaningfulLines(outcome.standardOutput);
    const QStringList err = meaningfulLines(outcome.standardError);

    if (dryRun) {
        const QJsonObject answer = QJsonDocument::fromJson(outcome.standardOutput.trimmed()).object();
        if (outcome.exitCode == 0 && answer.value(QStringLiteral("ok")).toBool()) {
            ConfigPatchVerdict verdict;
            verdict.dryRun = true;
            verdict.summary = QStringLiteral("Dry run successful: %1 update(s) validated, nothing written")
                                  .arg(answer.value(QStringLiteral("operations")).toInt());
            verdict.warnings = err;
            co_return verdict;
        }
        QString reason = dryRunReason(answer);
        if (reason.isEmpty())
            reason = (err.isEmpty() ? out : err).join(QStringLiteral("; "));
        co_return Error::plain(QStringLiteral("OpenClaw refuses the change: ") + reason);
    }
    if (outcome.exitCode != 0) {
        const QString reason = (err.isEmpty() ? out : err).join(QStringLiteral("; "));
        co_return Error::plain(QStringLiteral("OpenClaw refused the change: ") +
                               (reason.isEmpty() ? outcome.describe() : reason));
    }
    ConfigPatchVerdict verdict;
    verdict.summary = out.isEmpty() ? QStringLiteral("Applied.") : out.last();
    for (const QString &line : out) {
        if (line.startsWith(QLatin1String("Applied ")))
            verdict.summary = line;
    }
    verdict.warnings = err;
    co_return verdict;
}

} // namespace halvex
