#include "service/tray_launcher.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace halvex {

namespace {
const QString trayProgramName = QStringLiteral("halvex-bridge-tray");
const QString bridgeProgramName = QStringLiteral("halvex-bridge");

// `name` beside `neighbour`, else in the folder `relative` to its folder.
QString findProgram(const QString &neighbour, const QString &relative, const QString &name)
{
    const QDir folder = QFileInfo(neighbour).absoluteDir();
    for (const QString &candidate :
         {folder.filePath(name), QDir::cleanPath(folder.filePath(relative + QLatin1Char('/') + name))}) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.absoluteFilePath();
    }
    return {};
}
} // namespace

QString trayProgramPath(const QString &programPath)
{
    return findProgram(programPath, QStringLiteral(HALVEX_TRAY_FROM_BIN), trayProgramName);
}

QString bridgeProgramPath(const QString &trayProgramPath)
{
    return findProgram(trayProgramPath, QStringLiteral(HALVEX_BIN_FROM_TRAY), bridgeProgramName);
}

int execTrayProgram(int argc, char **argv)
{
    Q_UNUSED(argc);
    // Our own file, whatever path or link we were started by.
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString tray = trayProgramPath(self);
    if (tray.isEmpty()) {
        std::fprintf(stderr,
                     "halvex-bridge: the tray program %s is not installed beside %s. Run 'halvex-bridge --headless' "
                     "for the bridge without a tray icon.\n",
                     qPrintable(trayProgramName), qPrintable(self));
        return 1;
    }
    const QByteArray path = QFile::encodeName(tray);
    ::execv(path.constData(), argv);
    const int error = errno;
    std::fprintf(stderr, "halvex-bridge: cannot start %s: %s\n", path.constData(), std::strerror(error));
    return 1;
}

} // namespace halvex
