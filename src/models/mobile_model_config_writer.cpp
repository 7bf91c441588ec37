#include "models/mobile_model_config_writer.h"
#include "platform/json5.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace halvex {

namespace {

Result<QByteArray> readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Error::plain(file.errorString());
    // The configuration is small; a runaway file must not fill memory.
    constexpr qint64 kLimit = 16 * 1024 * 1024;
    if (file.size() > kLimit)
        return Error::plain(QStringLiteral("The file is larger than 16 MB"));
    return file.readAll();
}

// A file beside `path` holding `bytes` with `permissions`; kept until the
// caller renames or drops it.
Result<QString> writeSibling(const QString &path, const QByteArray &bytes, QFileDevice::Permissions permissions)
{
    QTemporaryFile file(path + QStringLiteral(".XXXXXX.tmp"));
    file.setAutoRemove(false);
    if (!file.open())
        return Error::plain(file.errorString());
    // Restrict first: the file holds the gateway token.
    if (!file.setPermissions(permissions) || file.write(bytes) != bytes.size() || !file.flush()) {
        const QString why = file.errorString();
        file.remove();
        return Error::plain(why);
    }
    file.close();
    return file.fileName();
}

Result<Done> replace(const QString &from, const QString &to)
{
    // rename(2) replaces the target in one step.
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0)
        return Error::plain(QString::fromLocal8Bit(std::strerror(errno)));
    return Done{};
}

QString describeIssues(const QJsonObject &answer)
{
    QStringList issues;
    for (const QJsonValue &value : answer.value(QStringLiteral("issues")).toArray()) {
        const QJsonObject issue = value.toObject();
        issues.append(issue.value(QStringLiteral("path")).toString() + QStringLiteral(": ") +
                      issue.value(QStringLiteral("message")).toString());
    }
    if (issues.isEmpty())
        issues.append(answer.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString());
    return issues.join(QStringLiteral("; "));
}

} // namespace

Result<QJsonObject> parseConfigDocument(const QByteArray &text)
{
    // Strict JSON (what OpenClaw writes) first; the JSON5 reader for
    // hand-edited files. Both keep 64-bit integers exactly.
    QJsonParseError error{};
    const QJsonDocument strict = QJsonDocument::fromJson(text, &error);
    if (error.error == QJsonParseError::NoError && strict.isObject())
        return strict.object();
    const Result<QJsonValue> value = parseJson5(text);
    if (!value)
        return value.error();
    if (!value->isObject())
        return Error::plain(QStringLiteral("The top level is not an object"));
    return value->toObject();
}

ConfigValidator openClawConfigValidator(QString program, QStringList leadingArguments, ProcessRunner runner,
                                        int timeoutMs)
{
    runner = processRunnerOrDefault(std::move(runner));
    return [program, leadingArguments, runner, timeoutMs](QString candidatePath) -> QCoro::Task<Result<Done>> {
        ProcessRequest request;
        request.program = program;
        request.arguments = leadingArguments +
                            QStringList{QStringLiteral("config"), QStringLiteral("validate"), QStringLiteral("--json")};
        request.extraEnvironment = {QStringLiteral("OPENCLAW_CONFIG_PATH=") + candidatePath};
        request.timeoutMs = timeoutMs;
        request.outputCap = 1 << 20;
        QCoro::Task<ProcessOutcome> running = runner(request);
        const ProcessOutcome outcome = co_await std::move(running);
        const QJsonObject answer = QJsonDocument::fromJson(outcome.standardOutput.trimmed()).object();
        if (outcome.exitedWithSuccess() && answer.value(QStringLiteral("valid")).toBool())
            co_return Done{};
        if (outcome.status == ProcessOutcome::Status::finished && answer.contains(QStringLiteral("valid")))
            co_return Error::plain(QStringLiteral("OpenClaw rejects the new configuration: ") + describeIssues(answer));
        co_return Error::plain(
            QStringLiteral("OpenClaw could not check the new configuration (%1)").arg(outcome.describe()));
    };
}

QCoro::Task<Result<ConfigEdit>> MobileModelConfigWriter::write(MobileModelChoice choice)
{
    // Write through a symbolic link to the file it names.
    const QFileInfo info(m_options.configPath);
    const QString path = info.isSymLink() ? info.canonicalFilePath() : m_options.configPath;
    const QFileDevice::Permissions permissions =
        QFile::exists(path) ? QFile::permissions(path) : (QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    Result<QByteArray> before = readAll(path);
    for (int attempt = 1;; ++attempt) {
        Result<QJsonObject> parsed = before ? parseConfigDocument(*before) : Result<QJsonObject>(before.error());
        if (!parsed) {
            qCCritical(lcProviderDetection, "Failed to read config for writing");
            co_return Error::plain(QStringLiteral("Cannot read %1: %2").arg(path, parsed.error().description()));
        }
        Result<ConfigEdit> edit = applyMobileModel(*parsed, choice);
        if (!edit)
            co_return edit.error();
        // OpenClaw's own validator knows its schema best; the built-in check
        // stands in only where it cannot run.
        const Result<Done> schema =
            m_options.validator ? Result<Done>(Done{}) : checkWrittenMembers(edit->config, choice.reference);
        if (!schema)
            co_return Error::plain(QStringLiteral("The new configuration would be invalid: ") +
                                   schema.error().description());

        const QByteArray bytes = QJsonDocument(edit->config).toJson(QJsonDocument::Indented);
        Result<QString> candidate = writeSibling(path, bytes, permissions);
        if (!candidate) {
            qCCritical(lcProviderDetection, "Failed to write config: %s", qPrintable(candidate.error().description()));
            co_return candidate.error();
        }
        if (m_options.validator) {
            QCoro::Task<Result<Done>> validation = m_options.validator(*candidate);
            const Result<Done> valid = co_await std::move(validation);
            if (!valid) {
                QFile::remove(*candidate);
                co_return valid.error();
            }
        }
        // OpenClaw (or an editor) may have rewritten the file meanwhile: its
        // change wins, and the choice is applied again on top of it.
        const Result<QByteArray> now = readAll(path);
        if (now.ok() != before.ok() || (now.ok() && *now != *before)) {
            QFile::remove(*candidate);
            if (attempt >= m_options.maxAttempts)
                co_return Error::plain(
                    QStringLiteral("The configuration kept changing while it was written; try again"));
            before = now;
            continue;
        }
        if (before) {
            Result<QString> backup = writeSibling(path, *before, permissions);
            if (!backup || !replace(*backup, backupPath(path))) {
                if (backup)
                    QFile::remove(*backup);
                QFile::remove(*candidate);
                co_return Error::plain(QStringLiteral("Cannot keep a backup of %1").arg(path));
            }
        }
        const Result<Done> replaced = replace(*candidate, path);
        if (!replaced) {
            QFile::remove(*candidate);
            qCCritical(lcProviderDetection, "Failed to write config: %s", qPrintable(replaced.error().description()));
            co_return replaced.error();
        }
        qCInfo(lcProviderDetection, "Updated mobile model config: %s", qPrintable(choice.reference));
        co_return std::move(edit).value();
    }
}

} // namespace halvex
