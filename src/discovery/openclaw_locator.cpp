#include "discovery/openclaw_locator.h"

#include "discovery/openclaw_tool_output.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVersionNumber>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace halvex {

namespace {

struct Account {
    QString name;
    gid_t primaryGroup = 0;
};

struct Group {
    QString name;
    QStringList members;
};

// getpwuid_r and getgrgid_r with a buffer that grows while they ask for more.
template <typename Entry, typename Call>
bool lookUpEntry(Call call, Entry &entry, std::vector<char> &buffer)
{
    buffer.resize(16 * 1024);
    for (;;) {
        Entry *found = nullptr;
        const int error = call(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < 4 * 1024 * 1024) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found;
    }
}

std::optional<Account> account(uid_t uid)
{
    passwd entry = {};
    std::vector<char> buffer;
    if (!lookUpEntry([uid](passwd *e, char *b, size_t n, passwd **found) { return getpwuid_r(uid, e, b, n, found); },
                     entry, buffer))
        return std::nullopt;
    return Account{QString::fromLocal8Bit(entry.pw_name), entry.pw_gid};
}

std::optional<Group> group(gid_t gid)
{
    struct group entry = {};
    std::vector<char> buffer;
    if (!lookUpEntry(
            [gid](struct group *e, char *b, size_t n, struct group **found) { return getgrgid_r(gid, e, b, n, found); },
            entry, buffer))
        return std::nullopt;
    Group result{QString::fromLocal8Bit(entry.gr_name), {}};
    for (char **member = entry.gr_mem; member && *member; ++member)
        result.members.append(QString::fromLocal8Bit(*member));
    return result;
}

// With a umask of 002 (the default for user-private groups, e.g. on
// Ubuntu) everything a user installs is group-writable; that group is
// harmless when it is the owner's own: their primary group, named after
// them, listing nobody else. Users who share it as their primary group are
// not enumerated (getpwent may not reach a directory service anyway).
bool isPrivateGroupOf(gid_t gid, uid_t owner)
{
    const std::optional<Account> user = account(owner);
    if (!user || user->primaryGroup != gid)
        return false;
    const std::optional<Group> theGroup = group(gid);
    return theGroup && theGroup->name == user->name &&
           std::all_of(theGroup->members.cbegin(), theGroup->members.cend(),
                       [&](const QString &member) { return member == user->name; });
}

QString shownPath(const QByteArray &path)
{
    return quotedForLog(QFile::decodeName(path), 300);
}

// Why someone other than root or this user could change this file or
// folder (not a symbolic link), or nothing.
std::optional<UntrustedPath> entryProblem(const QByteArray &path, const struct stat &st)
{
    const QString shown = shownPath(path);
    const QString what = (S_ISDIR(st.st_mode) ? QStringLiteral("the folder ") : QStringLiteral("the file ")) + shown;
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        const std::optional<Account> owner = account(st.st_uid);
        return UntrustedPath{QFile::decodeName(path),
                             owner ? QStringLiteral("%1 is owned by the user \"%2\" (uid %3)")
                                         .arg(what, quotedForLog(owner->name, 64))
                                         .arg(st.st_uid)
                                   : QStringLiteral("%1 is owned by uid %2").arg(what).arg(st.st_uid)};
    }
    if (st.st_mode & S_IWOTH)
        return UntrustedPath{QFile::decodeName(path), what + QStringLiteral(" is writable by others")};
    if ((st.st_mode & S_IWGRP) && !isPrivateGroupOf(st.st_gid, st.st_uid)) {
        const std::optional<Group> theGroup = group(st.st_gid);
        return UntrustedPath{
            QFile::decodeName(path),
            theGroup ? QStringLiteral("%1 is writable by its group \"%2\"").arg(what, quotedForLog(theGroup->name, 64))
                     : QStringLiteral("%1 is writable by its group (gid %2)").arg(what).arg(st.st_gid)};
    }
    return std::nullopt;
}

// A folder like /tmp: others may add names to it but only an entry's owner
// may remove or rename one (the sticky bit), and root owns it.
bool isStickyRootFolder(const struct stat &st)
{
    return S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) && st.st_uid == 0;
}

std::optional<QByteArray> linkTarget(const QByteArray &path)
{
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t size = ::readlink(path.constData(), target.data(), size_t(target.size()));
    if (size >= target.size())
        errno = ENAMETOOLONG;
    if (size <= 0 || size >= target.size())
        return std::nullopt;
    target.truncate(size);
    return target;
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.isFile() && info.isExecutable();
}

// Every `openclaw` on a PATH, in its order: the first may be one that is
// skipped or does not run. Only absolute folders count, so an empty or "."
// entry never finds one in the current folder.
QStringList toolsOnPath(const QString &searchPath)
{
    QStringList tools;
    const QStringList folders = searchPath.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &folder : folders) {
        const QString tool = QDir::cleanPath(folder + QStringLiteral("/openclaw"));
        if (QDir::isAbsolutePath(folder) && isExecutableFile(tool) && !tools.contains(tool))
            tools.append(tool);
    }
    return tools;
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

std::optional<UntrustedPath> untrustedReason(const QString &path)
{
    if (!QDir::isAbsolutePath(path))
        return UntrustedPath{path, quotedForLog(path) + QStringLiteral(" is not an absolute path")};
    const auto cannotExamine = [](const QByteArray &entry) {
        return UntrustedPath{
            QFile::decodeName(entry),
            QStringLiteral("%1 cannot be examined: %2").arg(shownPath(entry), QString::fromLocal8Bit(strerror(errno)))};
    };

    // The path is walked the way the kernel resolves it, one name at a time
    // from "/", following every symbolic link: so each folder passed
    // through, each folder holding a link, and the final file are checked,
    // whichever of them the path as given or its link targets name (npm's
    // bin/openclaw -> ../lib/node_modules/openclaw/openclaw.mjs has two
    // chains). A link's own mode means nothing; the folder holding it
    // decides who can change it.
    //
    // The one folder that may be writable by others is a sticky one owned by
    // root, such as /tmp, and only on the way to a folder below it that
    // passes on its own: there nobody but that folder's owner can remove or
    // rename it (a QTemporaryDir, or mktemp -d, made 0700 under /tmp cannot be
    // swapped). Such a folder never holds the tool or a link to it directly:
    // a name there is anyone's to take.
    QByteArray current = "/";
    struct stat st = {};
    if (::lstat("/", &st) != 0)
        return cannotExamine(current);
    std::optional<UntrustedPath> currentProblem = entryProblem(current, st); // set: current is a sticky passage
    if (currentProblem && !isStickyRootFolder(st))
        return currentProblem;
    const std::optional<UntrustedPath> rootProblem = currentProblem;

    QList<QByteArray> pending = QFile::encodeName(path).split('/');
    int links = 0;
    while (!pending.isEmpty()) {
        const QByteArray name = pending.takeFirst();
        if (name.isEmpty() || name == ".")
            continue;
        if (name == "..") {
            // `current` has no links in it: its parent is the one passed through.
            current.truncate(std::max<qsizetype>(current.lastIndexOf('/'), 1));
            if (::lstat(current.constData(), &st) != 0)
                return cannotExamine(current);
            currentProblem = entryProblem(current, st);
            if (currentProblem && !isStickyRootFolder(st))
                return currentProblem;
            continue;
        }
        const bool last =
            std::all_of(pending.cbegin(), pending.cend(), [](const QByteArray &n) { return n.isEmpty() || n == "."; });
        QByteArray entry = current;
        if (!entry.endsWith('/'))
            entry += '/';
        entry += name;
        if (::lstat(entry.constData(), &st) != 0)
            return cannotExamine(entry);

        if (S_ISLNK(st.st_mode)) {
            if (currentProblem)
                return currentProblem;
            const std::optional<QByteArray> target = linkTarget(entry);
            if (!target)
                return cannotExamine(entry);
            if (++links > 40)
                return UntrustedPath{QFile::decodeName(entry),
                                     shownPath(entry) + QStringLiteral(" goes through too many symbolic links")};
            if (target->startsWith('/')) {
                current = "/";
                currentProblem = rootProblem;
            }
            pending = target->split('/') + pending;
            continue;
        }

        std::optional<UntrustedPath> problem = entryProblem(entry, st);
        const bool passage = !last && isStickyRootFolder(st);
        if (problem && !passage)
            return problem;
        // Below a sticky folder only a folder of root's or this user's own.
        if (currentProblem && (last || !S_ISDIR(st.st_mode)))
            return currentProblem;
        current = entry;
        currentProblem = std::move(problem);
    }
    return std::nullopt;
}

OpenClawLocator::Places OpenClawLocator::standardPlaces(const QString &homeDirectory,
                                                        const EnvironmentLookup &environment)
{
    Places places;
    // The command's own PATH first: where `openclaw` works in the user's
    // terminal, it is that one.
    places.beforeShell += toolsOnPath(variable(environment, QStringLiteral("PATH")));
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

OpenClawLocator::OpenClawLocator(std::shared_ptr<CommandRunner> runner, Places places,
                                 std::chrono::milliseconds versionTimeout)
    : m_runner(std::move(runner)), m_places(std::move(places)), m_versionTimeout(versionTimeout)
{
}

QCoro::Task<std::optional<QString>> OpenClawLocator::versionOf(QString path, QString *problem)
{
    const QStringList version(QStringLiteral("--version"));
    const CommandResult result = co_await m_runner->run(path, version, m_versionTimeout);
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
    // True when the tool at `path` runs: then it is the one found. One that
    // others could have planted or changed is never run, not even for
    // `--version`.
    const auto tryPath = [&](const QString &path) -> QCoro::Task<bool> {
        if (tried.contains(path) || !isExecutableFile(path))
            co_return false;
        tried.append(path);
        if (const std::optional<UntrustedPath> untrusted = untrustedReason(path)) {
            located.skipped.append({path, untrusted->reason, untrusted->culprit});
            co_return false;
        }
        const std::optional<QString> version = co_await versionOf(path, &located.problem);
        if (!version)
            co_return false;
        located.path = path;
        located.version = *version;
        co_return true;
    };
    const auto search = [&]() -> QCoro::Task<bool> {
        for (const QString &path : std::as_const(m_places.beforeShell)) {
            if (co_await tryPath(path))
                co_return true;
        }
        if (const std::shared_ptr<LoginEnvironment> login = m_places.loginEnvironment) {
            const QStringList onPath = toolsOnPath(co_await login->searchPath());
            for (const QString &path : onPath) {
                if (co_await tryPath(path))
                    co_return true;
            }
        }
        for (const QString &path : std::as_const(m_places.afterShell)) {
            if (co_await tryPath(path))
                co_return true;
        }
        co_return false;
    };

    if (!co_await search() && !located.skipped.isEmpty()) {
        const SkippedOpenClaw &first = located.skipped.constFirst();
        QString skipped = QStringLiteral("openclaw at %1 was skipped: %2").arg(quotedForLog(first.path), first.reason);
        if (located.skipped.size() > 1)
            skipped += QStringLiteral(" (and %1 more)").arg(located.skipped.size() - 1);
        located.problem = located.problem.isEmpty() ? QStringLiteral("An ") + skipped
                                                    : located.problem + QStringLiteral("; an ") + skipped;
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
