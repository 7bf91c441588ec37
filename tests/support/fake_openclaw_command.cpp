#include "fake_openclaw_command.h"

#include <QDir>
#include <QFile>

namespace halvex::test {

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}

} // namespace

FakeOpenClawCommand::FakeOpenClawCommand(const QString &folderName)
{
    if (!m_dir.isValid())
        return;
    m_folder = m_dir.filePath(folderName);
    if (!QDir().mkpath(m_folder))
        return;
    m_path = m_folder + QStringLiteral("/openclaw");
    // The data files sit next to the script; the script finds them through
    // its own path.
    const QByteArray script = R"(#!/bin/sh
dir=$(dirname "$0")
printf '%s\n' "$*" >> "$dir/calls.log"
if [ "$1" = "devices" ] && [ "$2" = "list" ]; then
  if [ "$3" = "--json" ]; then
    if [ -f "$dir/list.json" ]; then cat "$dir/list.json"; exit 0; fi
    echo "error: unknown option '--json'"
    exit 1
  fi
  cat "$dir/list.txt" 2>/dev/null
  exit 0
fi
if [ "$1" = "devices" ] && [ "$2" = "approve" ]; then
  id=$3
  if [ "$3" = "--" ]; then id=$4; fi
  printf '%s\n' "$id" >> "$dir/approved.log"
  echo "Approved $id"
  exit 0
fi
echo "error: unknown command '$*'"
exit 1
)";
    m_valid = writeFile(m_path, script) &&
              QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                                QFile::ExeGroup);
}

QString FakeOpenClawCommand::file(const QString &name) const
{
    return m_folder + QLatin1Char('/') + name;
}

void FakeOpenClawCommand::setListOutput(const QString &text)
{
    writeFile(file(QStringLiteral("list.txt")), text.toUtf8());
}

void FakeOpenClawCommand::setJsonListOutput(const std::optional<QString> &json)
{
    if (json)
        writeFile(file(QStringLiteral("list.json")), json->toUtf8());
    else
        QFile::remove(file(QStringLiteral("list.json")));
}

QStringList FakeOpenClawCommand::approvedIds() const
{
    return readLines(file(QStringLiteral("approved.log")));
}

QStringList FakeOpenClawCommand::calls() const
{
    return readLines(file(QStringLiteral("calls.log")));
}

} // namespace halvex::test
