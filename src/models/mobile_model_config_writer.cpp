#include "models/mobile_model_config_writer.h"
#include "gateway/openclaw_config.h"
#include "platform/atomic_file.h"
#include "platform/characters.h"
#include "platform/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

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

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Flushes a folder's entries (a rename inside it) to the disk.
Result<Done> syncFolder(const QString &folder)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return Error::plain(systemError());
    const bool synced = ::fsync(fd) == 0;
    const QString why = synced ? QString() : systemError();
    ::close(fd);
    return synced ? Result<Done>(Done{}) : Result<Done>(Error::plain(why));
}

bool holdsInclude(const QJsonValue &value)
{
    if (value.isArray()) {
        for (const QJsonArray elements = value.toArray(); const QJsonValue &element : elements)
            if (holdsInclude(element))
                return true;
        return false;
    }
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() == QLatin1String("$include") || holdsInclude(it.value()))
            return true;
    }
    return false;
}

} // namespace

Result<QJsonObject> parseConfigDocument(const QByteArray &text, Json5Notes *notes)
{
    // The JSON5 reader keeps 64-bit integers exactly and notes what plain
    // JSON would not give back; plain JSON is JSON5.
    const Result<QJsonValue> value = parseJson5(text, Json5Limits{}, notes);
    if (!value)
        return value.error();
    if (!value->isObject())
        return Error::plain(QStringLiteral("The top level is not an object"));
    return value->toObject();
}

QStringList describeConfigEdit(const ConfigEdit &edit)
{
    QStringList lines;
    if (edit.changes.isEmpty())
        lines.append(QStringLiteral("Nothing to change: the configuration already says so."));
    for (const QString &change : edit.changes)
        lines.append(QStringLiteral("• ") + quotedForLog(change, 300));
    lines.append((edit.throughOpenClaw ? QStringLiteral("OpenClaw: ") : QStringLiteral("Halvex Bridge: ")) +
                 edit.verdict);
    for (const QString &warning : edit.warnings)
        lines.append(QStringLiteral("Warning: ") + warning);
    return lines;
}

MobileModelConfigWriter::MobileModelConfigWriter(Options options) : m_options(std::move(options))
{
    if (!m_options.environment)
        m_options.environment = processEnvironment;
}

QString MobileModelConfigWriter::backupPath(const QString &configPath, int index)
{
    return configPath + QStringLiteral(".bak") + (index > 0 ? QStringLiteral(".%1").arg(index) : QString());
}

QCoro::Task<Result<ConfigEdit>> MobileModelConfigWriter::write(MobileModelChoice choice, bool dryRun)
{
    // Refused before anything is read or run: older OpenClaw releases would
    // write a read-only configuration anyway.
    if (openClawConfigIsReadOnly(m_options.environment))
        co_return Error::plain(openClawReadOnlySentence(m_options.environment));
    if (m_options.tool) {
        QCoro::Task<Result<ConfigEdit>> writing = writeThroughOpenClaw(std::move(choice), dryRun);
        co_return co_await std::move(writing);
    }
    co_return writeHere(choice, dryRun);
}

QCoro::Task<Result<ConfigEdit>> MobileModelConfigWriter::writeThroughOpenClaw(MobileModelChoice choice, bool dryRun)
{
    const QString path = m_options.configPath;
    // Read just before the patch is made: an array in it (agents.list, a
    // provider's models) replaces the file's whole.
    const auto readEffective = [&]() -> Result<QJsonObject> {
        const Result<QByteArray> bytes = readAll(path);
        if (!bytes)
            return bytes.error();
        const Result<OpenClawConfig> parsed = parseOpenClawConfig(*bytes, m_options.environment, path);
        if (!parsed)
            return parsed.error();
        return parsed->effective;
    };
    const Result<QJsonObject> before = readEffective();
    if (!before) {
        qCCritical(lcProviderDetection, "Failed to read config for writing");
        co_return Error::plain(QStringLiteral("Cannot read %1: %2").arg(path, before.error().description()));
    }
    Result<ConfigEdit> applied = applyMobileModel(*before, choice);
    if (!applied)
        co_return applied.error();
    ConfigEdit edit = std::move(applied).value();
    edit.patch = configMergePatch(*before, edit.config);
    edit.throughOpenClaw = true;
    edit.dryRun = dryRun;
    if (edit.patch.isEmpty()) {
        edit.verdict = QStringLiteral("Nothing to change: the configuration already says so");
        co_return edit;
    }

    OpenClawConfigPatcher patcher({*m_options.tool, m_options.runner, m_options.environment, m_options.toolTimeout});
    QCoro::Task<Result<ConfigPatchVerdict>> patching = patcher.apply(edit.patch, dryRun);
    const Result<ConfigPatchVerdict> verdict = co_await std::move(patching);
    if (!verdict)
        co_return verdict.error();
    edit.verdict = verdict->summary;
    edit.warnings = verdict->warnings;
    if (dryRun)
        co_return edit;

    // OpenClaw may move what it was given (a legacy agents.list becomes its
    // keyed shape): what counts is that the mobile agent now has the model.
    const Result<QJsonObject> after = readEffective();
    const std::optional<QJsonObject> mobile = after ? mobileAgentOf(*after) : std::nullopt;
    if (!mobile || primaryModelOf(mobile->value(QStringLiteral("model"))) != choice.reference)
        co_return Error::plain(
            QStringLiteral("OpenClaw took the change, but its mobile agent does not use %1").arg(choice.reference));
    qCInfo(lcProviderDetection, "Updated mobile model config: %s", qUtf8Printable(quotedForLog(choice.reference)));
    co_return edit;
}

Result<ConfigEdit> MobileModelConfigWriter::writeHere(const MobileModelChoice &choice, bool dryRun)
{
    // Write through a symbolic link to the file it names.
    const QFileInfo info(m_options.configPath);
    const QString path = info.isSymLink() ? info.canonicalFilePath() : m_options.configPath;
    const QFileDevice::Permissions permissions =
        QFile::exists(path) ? QFile::permissions(path) : (QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    Result<QByteArray> before = readAll(path);
    for (int attempt = 1;; ++attempt) {
        Json5Notes notes;
        Result<QJsonObject> parsed =
            before ? parseConfigDocument(*before, &notes) : Result<QJsonObject>(before.error());
        if (!parsed) {
            qCCritical(lcProviderDetection, "Failed to read config for writing");
            return Error::plain(QStringLiteral("Cannot read %1: %2").arg(path, parsed.error().description()));
        }
        if (holdsInclude(*parsed))
            return Error::plain(QStringLiteral("%1 is split into several files with \"$include\": only OpenClaw's own "
                                               "writer changes such a file, and the openclaw tool was not found")
                                    .arg(path));
        if (!notes.inexactNumbers.isEmpty())
            return Error::plain(QStringLiteral("%1 holds numbers that plain JSON cannot write back unchanged (%2): "
                                               "change them, or install the openclaw tool to write the file")
                                    .arg(path, notes.inexactNumbers.join(QStringLiteral(", "))));
        Result<ConfigEdit> applied = applyMobileModel(*parsed, choice);
        if (!applied)
            return applied.error();
        ConfigEdit edit = std::move(applied).value();
        const Result<Done> schema = checkWrittenMembers(edit.config, choice.reference);
        if (!schema)
            return Error::plain(QStringLiteral("The new configuration would be invalid: ") +
                                schema.error().description());
        edit.patch = configMergePatch(*parsed, edit.config);
        edit.dryRun = dryRun;
        if (edit.patch.isEmpty()) {
            edit.verdict = QStringLiteral("Nothing to change: the configuration already says so");
            return edit;
        }
        if (notes.hasComments) {
            // As OpenClaw's own writer does: say so before they go.
            edit.warnings.append(
                QStringLiteral("Config write will strip JSON5 comments from %1 (it is written as plain JSON)")
                    .arg(path));
            if (!dryRun)
                qCWarning(lcProviderDetection, "%s", qUtf8Printable(quotedForLog(edit.warnings.last())));
        }
        if (dryRun) {
            edit.verdict = QStringLiteral("Halvex Bridge's own check accepts the change (nothing written)");
            return edit;
        }

        const QByteArray bytes = QJsonDocument(edit.config).toJson(QJsonDocument::Indented);
        StagedFile candidate;
        if (const Result<Done> written = candidate.write(path, bytes, permissions); !written) {
            qCCritical(lcProviderDetection, "Failed to write config: %s",
                       qUtf8Printable(quotedForLog(written.error().description())));
            return written.error();
        }
        // OpenClaw (or an editor) may have rewritten the file meanwhile: its
        // change wins, and the choice is applied again on top of it.
        const Result<QByteArray> now = readAll(path);
        if (now.ok() != before.ok() || (now.ok() && *now != *before)) {
            if (attempt >= m_options.maxAttempts)
                return Error::plain(QStringLiteral("The configuration kept changing while it was written; try again"));
            before = now;
            continue;
        }
        if (before) {
            // OpenClaw's ring: the newest copy is "<file>.bak", older ones
            // move up to "<file>.bak.<count-1>", and the oldest goes.
            for (int index = m_options.backupCount - 2; index >= 0; --index) {
                const QString from = backupPath(path, index);
                if (QFile::exists(from))
                    std::rename(QFile::encodeName(from).constData(),
                                QFile::encodeName(backupPath(path, index + 1)).constData());
            }
            StagedFile backup;
            const Result<Done> kept = backup.write(path, *before, permissions);
            if (!kept || !backup.moveTo(backupPath(path)))
                return Error::plain(QStringLiteral("Cannot keep a backup of %1").arg(path));
        }
        if (const Result<Done> replaced = candidate.moveTo(path); !replaced) {
            qCCritical(lcProviderDetection, "Failed to write config: %s",
                       qUtf8Printable(quotedForLog(replaced.error().description())));
            return replaced.error();
        }
        if (const Result<Done> synced = syncFolder(QFileInfo(path).absolutePath()); !synced)
            qCWarning(lcProviderDetection, "Could not sync the folder of %s: %s", qUtf8Printable(quotedForLog(path)),
                      qUtf8Printable(quotedForLog(synced.error().description())));
        edit.verdict = QStringLiteral("Written by Halvex Bridge (the openclaw tool was not found)");
        qCInfo(lcProviderDetection, "Updated mobile model config: %s", qUtf8Printable(quotedForLog(choice.reference)));
        return edit;
    }
}

} // namespace halvex
