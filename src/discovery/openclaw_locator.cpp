#include "discovery/openclaw_locator.h"

#include "discovery/openclaw_tool_output.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVersionNumber>

#include <algorithm>

namespace halvex {

namespace {

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.isFile() && info.isExecutable();
}

QString variable(const EnvironmentLookup &environment, const QString &name)
{
    return environment ? environment(name).value_or(QString()) : QString();
}

// The folders in `parent` named as Node versions ("v24.9.0"), newest first:
// the numbers compare, not the text (v24.22.3 before v24.9.0).
QStringList nodeVersionsNewestFirst(const QString &parent)
{
    QList<std::pair<QVersionNumber, QString>> versions;
    const QStringList names = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QVersionNumber number =
            QVersionNumber::fromString(name.startsWith(QLatin1Char('v')) ? name.mid(1) : name);
        if (!number.isNull())
            versions.append({number, name});
    }
    std::stable_sort(versions.begin(), versions.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList folders;
    for (const auto &version : std::as_const(versions))
        folders.append(parent + QLatin1Char('/') + version.second);
    return folders;
}

// Where Node version managers put the tools that `npm install -g` adds; a
// desktop session started without the user's shell profile lacks them on
// PATH.
QStringList versionManagerPlaces(const QString &home, const EnvironmentLookup &environment)
{
    const QString tool = QStringLiteral("/openclaw");
    QStringList places;
    const QString nvm = variable(environment, QStringLiteral("NVM_DIR"));
    for (const QString &version : nodeVersionsNewestFirst((nvm.isEmpty() ? home + QStringLiteral("/.nvm") : nvm) +
                                                          QStringLiteral("/versions/node")))
        places.append(version + QStringLiteral("/bin") + tool);

    if (const QString volta = variable(environment, QStringLiteral("VOLTA_HOME")); !volta.isEmpty())
        places.append(volta + QStringLiteral("/bin") + tool);
    places.append(home + QStringLiteral("/.volta/bin") + tool);

    const QString fnm = variable(environment, QStringLiteral("FNM_DIR"));
    const QStringList fnmFolders =
        fnm.isEmpty() ? QStringList{home + QStringLiteral("/.local/share/fnm"), home + QStringLiteral("/.fnm")}
                      : QStringList{fnm};
    for (const QString &folder : fnmFolders) {
        // The default alias is the Node the user chose; the rest newest first.
        places.append(folder + QStringLiteral("/aliases/default/bin") + tool);
        for (const QString &version : nodeVersionsNewestFirst(folder + QStringLiteral("/node-versions")))
            places.append(version + QStringLiteral("/installation/bin") + tool);
    }

    if (const QString pnpm = variable(environment, QStringLiteral("PNPM_HOME")); !pnpm.isEmpty())
        places.append(pnpm + tool);
    places.append(home + QStringLiteral("/.local/share/pnpm") + tool);

    const QString bun = variable(environment, QStringLiteral("BUN_INSTALL"));
    places.append((bun.isEmpty() ? home + QStringLiteral("/.bun") : bun) + QStringLiteral("/bin") + tool);

    for (QString &place : places)
        place = QDir::cleanPath(place);
    return places;
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
    // The command's own PATH first: where `openclaw` works in the user's
    // terminal, it is that one.
    if (const std::optional<QString> onPath =
            LoginEnvironment::findOnPath(QStringLiteral("openclaw"), variable(environment, QStringLiteral("PATH"))))
        places.beforeShell.append(QDir::cleanPath(*onPath));
    places.beforeShell += {homeDirectory + QStringLiteral("/.local/bin/openclaw"),
                           QStringLiteral("/usr/local/bin/openclaw"), QStringLiteral("/usr/bin/openclaw")};
    if (const std::optional<QString> prefix = npmPrefix(homeDirectory, environment))
        places.beforeShell.append(QDir::cleanPath(*prefix + QStringLiteral("/bin/openclaw")));
    places.beforeShell.append(homeDirectory + QStringLiteral("/.openclaw/bin/openclaw"));
    places.beforeShell += versionManagerPlaces(homeDirectory, environment);
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

QCoro::Task<std::optional<QString>> OpenClawLocator::versionOf(QString path, QString *problem)
{
    const QStringList version(QStringLiteral("--version"));
    const CommandResult result = co_await m_runner->run(path, version, m_versionTimeoutMs);
    if (result.succeeded() && result.output)
        co_return firstLine(*result.output);
    if (problem->isEmpty()) {
        QString why = firstLine(result.errorOutput);
        if (why.isEmpty())
            why = result.exitCode ? QStringLiteral("it exited with status %1").arg(*result.exitCode)
                                  : QStringLiteral("it did not answer");
        *problem = QStringLiteral("OpenClaw at %1 does not run: %2").arg(path, quotedForLog(why));
        if (why.contains(QLatin1String("node"), Qt::CaseInsensitive))
            *problem += QStringLiteral(" (OpenClaw needs a current Node.js first on PATH)");
    }
    co_return std::nullopt;
}

QCoro::Task<LocatedOpenClaw> OpenClawLocator::find()
{
    LocatedOpenClaw located;
    QStringList tried;
    // True when the tool at `path` runs: then it is the one found.
    const auto tryPath = [&](const QString &path) -> QCoro::Task<bool> {
        if (tried.contains(path) || !isExecutableFile(path))
            co_return false;
        tried.append(path);
        const std::optional<QString> version = co_await versionOf(path, &located.problem);
        if (!version)
            co_return false;
        located.path = path;
        located.version = *version;
        co_return true;
    };

    for (const QString &path : std::as_const(m_places.beforeShell)) {
        if (co_await tryPath(path))
            co_return located;
    }
    if (const std::shared_ptr<LoginEnvironment> login = m_places.loginEnvironment) {
        const std::optional<QString> found = co_await login->findProgram(QStringLiteral("openclaw"));
        if (found && co_await tryPath(*found))
            co_return located;
    }
    for (const QString &path : std::as_const(m_places.afterShell)) {
        if (co_await tryPath(path))
            co_return located;
    }
    co_return located;
}

OpenClawToolFinder openClawToolFinder(QString homeDirectory, EnvironmentLookup environment, ProcessRunner runner)
{
    return [homeDirectory, environment, runner]() -> QCoro::Task<OpenClawToolLookup> {
        OpenClawLocator locator(std::make_shared<CommandRunner>(runner),
                                OpenClawLocator::standardPlaces(homeDirectory, environment));
        const LocatedOpenClaw located = co_await locator.find();
        OpenClawToolLookup lookup;
        if (located.path)
            lookup.tool = OpenClawTool{*located.path, {}};
        lookup.problem = located.problem;
        co_return lookup;
    };
}

} // namespace halvex
