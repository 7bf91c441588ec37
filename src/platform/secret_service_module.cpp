#include "platform/secret_service_module.h"

#include "platform/logging.h"
#include "platform/process_runner.h"

#include "build_config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace halvex::SecretServiceModule {

namespace {

using VersionFunction = const char *(*)();
using CreateFunction = SecretBackend *(*)(int probeTimeoutMs);

QString programFolder()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
}

// Loaded once per process and never unloaded: the backends it made live in it.
struct Loaded {
    CreateFunction create = nullptr;
    QString problem;
    QLibrary *library = nullptr;
};

Loaded loadModule()
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
        const auto version = reinterpret_cast<VersionFunction>(library->resolve(HALVEX_SECRET_SERVICE_VERSION_SYMBOL));
        const auto create = reinterpret_cast<CreateFunction>(library->resolve(HALVEX_SECRET_SERVICE_CREATE_SYMBOL));
        if (!version || !create)
            return refuse(QStringLiteral("%1 cannot be loaded: %2").arg(path, library->errorString()));
        if (qstrcmp(version(), HALVEX_BUILD_VERSION_STRING) != 0)
            return refuse(QStringLiteral("%1 belongs to build %2, not %3")
                              .arg(path, quotedForLog(QString::fromUtf8(version())),
                                   QStringLiteral(HALVEX_BUILD_VERSION_STRING)));
        qCDebug(lcKeychain, "Secret Service module: %s", qUtf8Printable(path));
        return Loaded{create, QString(), library};
    }
    return Loaded{nullptr, QStringLiteral("%1 is missing (looked in %2)")
                               .arg(QLatin1String(fileName), folders.join(QStringLiteral(", ")))};
}

// Set once by the first load() that needs the module.
const Loaded *loaded = nullptr;

} // namespace

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

std::unique_ptr<SecretBackend> load(int probeTimeoutMs)
{
    if (!sessionBusConfigured()) {
        qCDebug(lcKeychain, "No D-Bus session bus configured");
        return nullptr;
    }
    static const Loaded module = loadModule();
    loaded = &module;
    if (!module.create)
        return nullptr;
    return std::unique_ptr<SecretBackend>(module.create(probeTimeoutMs));
}

QString problem()
{
    return loaded ? loaded->problem : QString();
}

} // namespace halvex::SecretServiceModule
