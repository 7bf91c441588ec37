#include "platform/session/login_item.h"

#include "platform/atomic_file.h"
#include "platform/deployment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <algorithm>

namespace halvex {

namespace {

// The Exec key's quoting rules: a path with reserved characters goes in
// double quotes with `"`, `` ` ``, `$` and `\` escaped; `%` is doubled in
// any case because it starts a field code.
QString quotedExecArgument(const QString &argument)
{
    QString escaped = argument;
    escaped.replace(QLatin1Char('%'), QStringLiteral("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes =
        std::any_of(argument.cbegin(), argument.cend(), [](QChar c) { return reserved.contains(c); });
    if (!needsQuotes)
        return escaped;
    QString quoted;
    for (const QChar c : std::as_const(escaped)) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    // The entry is read once as a string value, where a backslash is itself
    // an escape, and then split as a command line.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

XdgAutostartLoginItem::XdgAutostartLoginItem(QString autostartDirectory, QString executable)
    : m_directory(std::move(autostartDirectory)), m_executable(std::move(executable))
{
    if (m_directory.isEmpty())
        m_directory =
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart");
}

QString XdgAutostartLoginItem::filePath() const
{
    return m_directory + QLatin1Char('/') + appId() + QStringLiteral(".desktop");
}

QString XdgAutostartLoginItem::desktopEntry(const QString &executable)
{
    QString entry;
    entry += QStringLiteral("[Desktop Entry]\n");
    entry += QStringLiteral("Type=Application\n");
    entry += QStringLiteral("Name=Halvex Bridge\n");
    entry += QStringLiteral("Comment=Connects your AI companion apps to your local AI server.\n");
    entry += QStringLiteral("Exec=") + quotedExecArgument(executable) + QLatin1Char('\n');
    entry += QStringLiteral("Terminal=false\n");
    entry += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return entry;
}

Result<Done> XdgAutostartLoginItem::registerItem()
{
    QString executable = m_executable;
    if (executable.isEmpty())
        executable = QCoreApplication::applicationFilePath();
    if (executable.isEmpty())
        return Error::plain(QStringLiteral("The program's own path is unknown."));

    if (!QDir().mkpath(m_directory))
        return Error::plain(
            QStringLiteral("Could not create the folder %1.").arg(QDir::toNativeSeparators(m_directory)));

    // Written through a temporary file and renamed, so a crash never leaves
    // half an entry behind.
    const Result<Done> written =
        writeFileAtomically(filePath(), desktopEntry(executable).toUtf8(),
                            QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    if (!written)
        return Error::plain(QStringLiteral("Could not write %1: %2.").arg(filePath(), written.error().description()));
    return Done{};
}

Result<Done> XdgAutostartLoginItem::unregisterItem()
{
    QFile file(filePath());
    if (!file.exists())
        return Done{};
    if (!file.remove())
        return Error::plain(QStringLiteral("Could not remove %1: %2.").arg(file.fileName(), file.errorString()));
    return Done{};
}

} // namespace halvex
