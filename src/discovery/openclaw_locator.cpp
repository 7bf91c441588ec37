#include "discovery/openclaw_locator.h"

#include "discovery/openclaw_tool_output.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace halvex {

namespace {

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.isFile() && info.isExecutable();
}

// npm's global prefix without running npm: the environment, else ~/.npmrc.
std::optional<QString> npmPrefix(const QString &home, const EnvironmentLookup &environment)
{
    for (const QString &name : {QStringLiteral("NPM_CONFIG_PREFIX"), QStringLiteral("npm_config_prefix")}) {
        if (const std::optional<QString> value = environment ? environment(name) : std::nullopt;
            value && !value->isEmpty())
            return value;
    }
    QFile npmrc(home + QStringLiteral("/.npmrc"));
    if (!npmrc.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QList<QByteArray> lines = npmrc.read(64 * 1024).split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("prefix"))
            continue;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0 || line.left(eq).trimmed() != "prefix")
            continue;
        QString value = QString::fromUtf8(line.mid(eq + 1).trimmed());
        if (value.startsWith(QLatin1String("~/")))
            value = home + value.mid(1);
        return value;
    }
    return std::nullopt;
}

} // namespace

OpenClawLocator::Places OpenClawLocator::standardPlaces(const QString &homeDirectory,
                                                        const EnvironmentLookup &environment)
{
    Places places;
    places.beforeShell = {homeDirectory + QStringLiteral("/.local/bin/openclaw"),
                          QStringLiteral("/usr/local/bin/openclaw"), QStringLiteral("/usr/bin/openclaw")};
    if (const std::optional<QString> prefix = npmPrefix(homeDirectory, environment))
        places.beforeShell.append(QDir::cleanPath(*prefix + QStringLiteral("/bin/openclaw")));
    places.beforeShell.append(homeDirectory + QStringLiteral("/.openclaw/bin/openclaw"));
    places.loginEnvironment = LoginEnvironment::processDefault();
    places.afterShell = {QStringLiteral("/opt/homebrew/bin/openclaw"),
                         QStringLiteral("/home/linuxbrew/.linuxbrew/bin/openclaw"),
                         homeDirectory + QStringLiteral("/.linuxbrew/bin/openclaw")};
    return places;
}

OpenClawLocator::OpenClawLocator(std::shared_ptr<CommandRunner> runner, Places places, int versionTimeoutMs)
    : m_runner(std::move(runner)), m_places(std::move(places)), m_versionTimeoutMs(versionTimeoutMs)
{
}

QCoro::Task<bool> OpenClawLocator::works(QString path, QString *problem)
{
    const QStringList version(QStringLiteral("--version"));
    const CommandResult result = co_await m_runner->run(path, version, m_versionTimeoutMs);
    if (result.succeeded() && result.output)
        co_return true;
    if (problem->isEmpty()) {
        QString why = firstLine(result.errorOutput);
        if (why.isEmpty())
            why = result.exitCode ? QStringLiteral("it exited with status %1").arg(*result.exitCode)
                                  : QStringLiteral("it did not answer");
        *problem = QStringLiteral("OpenClaw at %1 does not run: %2").arg(path, quotedForLog(why));
        if (why.contains(QLatin1String("node"), Qt::CaseInsensitive))
            *problem += QStringLiteral(" (OpenClaw needs a current Node.js first on PATH)");
    }
    co_return false;
}

QCoro::Task<LocatedOpenClaw> OpenClawLocator::find()
{
    LocatedOpenClaw located;
    QStringList tried;
    const auto tryPath = [&](const QString &path) -> QCoro::Task<bool> {
        if (tried.contains(path) || !isExecutableFile(path))
            co_return false;
        tried.append(path);
        co_return co_await works(path, &located.problem);
    };

    for (const QString &path : std::as_const(m_places.beforeShell)) {
        if (co_await tryPath(path)) {
            located.path = path;
            co_return located;
        }
    }
    if (const std::shared_ptr<LoginEnvironment> login = m_places.loginEnvironment) {
        const std::optional<QString> found = co_await login->findProgram(QStringLiteral("openclaw"));
        if (found && co_await tryPath(*found)) {
            located.path = found;
            co_return located;
        }
    }
    for (const QString &path : std::as_const(m_places.afterShell)) {
        if (co_await tryPath(path)) {
            located.path = path;
            co_return located;
        }
    }
    co_return located;
}

} // namespace halvex
