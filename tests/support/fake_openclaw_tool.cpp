#include "fake_openclaw_tool.h"

#include <QDir>
#include <QFile>

namespace halvex::test {

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// The same key the script computes: every byte that is not a letter or a
// digit becomes "_".
QString keyFor(const QStringList &arguments)
{
    QByteArray key = arguments.join(QLatin1Char(' ')).toUtf8();
    for (char &c : key) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            c = '_';
    }
    return QString::fromLatin1(key);
}

} // namespace

FakeOpenClawTool::FakeOpenClawTool(const QString &folderName)
{
    if (!m_dir.isValid())
        return;
    m_folder = QDir::isAbsolutePath(folderName) ? folderName : m_dir.filePath(folderName);
    if (!QDir().mkpath(m_folder + QStringLiteral("/.fake")))
        return;
    m_path = m_folder + QStringLiteral("/openclaw");
    const QByteArray script = R"SH(#!/bin/sh
dir="$(dirname "$0")/.fake"
printf '%s\n' "$*" >> "$dir/calls"
case " $* " in *" --stdin "*) cat > "$dir/stdin" ;; esac
key=$(printf '%s' "$*" | LC_ALL=C tr -c 'A-Za-z0-9' '_')
[ -f "$dir/$key.delay" ] && sleep "$(cat "$dir/$key.delay")"
[ -f "$dir/$key.err" ] && cat "$dir/$key.err" >&2
if [ -f "$dir/$key.out" ]; then cat "$dir/$key.out"; exit "$(cat "$dir/$key.code")"; fi
exit 1
)SH";
    m_valid = writeFile(m_path, script) &&
              QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    setAnswer({QStringLiteral("--version")}, "2026.9.6\n");
}

QString FakeOpenClawTool::dataFile(const QStringList &arguments, const char *suffix) const
{
    return m_folder + QStringLiteral("/.fake/") + keyFor(arguments) + QLatin1String(suffix);
}

void FakeOpenClawTool::setAnswer(const QStringList &arguments, const QByteArray &output, int exitCode,
                                 const QByteArray &errorOutput)
{
    writeFile(dataFile(arguments, ".out"), output);
    writeFile(dataFile(arguments, ".code"), QByteArray::number(exitCode));
    if (errorOutput.isEmpty())
        QFile::remove(dataFile(arguments, ".err"));
    else
        writeFile(dataFile(arguments, ".err"), errorOutput);
}

void FakeOpenClawTool::setDelay(const QStringList &arguments, int seconds)
{
    writeFile(dataFile(arguments, ".delay"), QByteArray::number(seconds));
}

QByteArray FakeOpenClawTool::lastStandardInput() const
{
    QFile file(m_folder + QStringLiteral("/.fake/stdin"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList FakeOpenClawTool::calls() const
{
    QFile file(m_folder + QStringLiteral("/.fake/calls"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}

} // namespace halvex::test
