#include "platform/runtime_module.h"

#include "platform/logging.h"
#include "platform/process_runner.h" // quotedForLog

#include "build_config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace halvex::RuntimeModule {

namespace {

using VersionFunction = const char *(*)();

QString programFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

} // namespace

void *Loaded::resolve(const char *symbol) const
{
    return library ? reinterpret_cast<void *>(library->resolve(symbol)) : nullptr;
}

bool sessionBusConfigured()
{
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (!address.isEmpty())
        return !address.contains("autolaunch:");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

QStringList searchFolders()
{
    QStringList folders;
    const QString fromEnvironment = qEnvironmentVariable("HALVEX_MODULE_DIR");
    if (QDir::isAbsolutePath(fromEnvironment))
        folders << fromEnvironment;
    const QDir program(programFolder());
    folders << program.path();
    for (const char *relative : {HALVEX_MODULES_FROM_BIN, HALVEX_MODULES_FROM_TRAY}) {
        const QString folder = QDir::cleanPath(program.filePath(QLatin1String(relative)));
        if (!folders.contains(folder))
            folders << folder;
    }
    return folders;
}

Loaded load(const char *fileName, const char *versionSymbol, std::initializer_list<const char *> required)
{
    const QStringList folders = searchFolders();
    for (const QString &folder : folders) {
        const QString path = QDir(folder).filePath(QLatin1String(fileName));
        if (!QFileInfo(path).isFile())
            continue;
        auto *library = new QLibrary(path);
        const auto refuse = [library](QString why) {
            library->unload();
            delete library;
            return Loaded{nullptr, std::move(why)};
        };
        const auto version = reinterpret_cast<VersionFunction>(library->resolve(versionSymbol));
        bool complete = version != nullptr;
        for (const char *symbol : required)
            complete = complete && library->resolve(symbol) != nullptr;
        if (!complete)
            return refuse(QStringLiteral("%1 cannot be loaded: %2").arg(path, library->errorString()));
        if (qstrcmp(version(), HALVEX_BUILD_VERSION_STRING) != 0)
            return refuse(QStringLiteral("%1 belongs to build %2, not %3")
                              .arg(path, quotedForLog(QString::fromUtf8(version())),
                                   QStringLiteral(HALVEX_BUILD_VERSION_STRING)));
        qCDebug(lcApp, "Module loaded: %s", qUtf8Printable(path));
        return Loaded{library, QString()};
    }
    return Loaded{nullptr, QStringLiteral("%1 is missing (looked in %2)")
                               .arg(QLatin1String(fileName), folders.join(QStringLiteral(", ")))};
}

} // namespace halvex::RuntimeModule
