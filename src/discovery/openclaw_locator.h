#pragma once

#include "discovery/command_runner.h"
#include "gateway/openclaw_config.h" // EnvironmentLookup
#include "gateway/openclaw_config_patch.h"

#include "platform/session/login_environment.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

namespace halvex {

// Why a file must not be run: the file or folder at fault (one that
// someone other than root or this user could change) and the sentence that
// says so, safe to print on a terminal.
struct UntrustedPath {
    QString culprit;
    QString reason;

    bool operator==(const UntrustedPath &) const = default;
};

// Nothing when the file at `path` can be run: after OpenSSH's StrictModes,
// the file and every folder from it up to "/", along every symbolic link on
// the way, belong to root or this user and nobody else can write them. See
// the definition for the two exceptions (a private group; /tmp-like folders).
std::optional<UntrustedPath> untrustedReason(const QString &path);

// A candidate that was found but not run, because others could change it.
struct SkippedOpenClaw {
    QString path;
    QString reason;  // terminal-safe
    QString culprit; // the file or folder to fix

    bool operator==(const SkippedOpenClaw &) const = default;
};

// Where the `openclaw` tool was found, or why none that works was.
struct LocatedOpenClaw {
    std::optional<QString> path;
    // The first line of the chosen tool's `--version` answer, trimmed.
    QString version;
    // Set when no tool was chosen but one was found that does not run (e.g.
    // an old Node.js first on PATH) or was skipped: where and why.
    QString problem;
    // Candidates never run because others could change them, in search order.
    QList<SkippedOpenClaw> skipped;
};

// Finds a working `openclaw`: this process's PATH (every folder on it, in
// order), the usual Linux places and the Node version managers first, then
// the login shell's PATH (likewise), then the
// Homebrew places. A candidate counts only when it is an absolute path to an
// executable file that untrustedReason() accepts and `openclaw --version`
// answers; one it refuses is skipped without being run.
class OpenClawLocator
{
public:
    struct Places {
        QStringList beforeShell; // checked first, in order
        // The login shell's PATH is searched next; none: not asked.
        std::shared_ptr<LoginEnvironment> loginEnvironment;
        QStringList afterShell; // checked last
    };

    // The places for this home directory and environment, in this order:
    // the tools on the environment's PATH (absolute folders only); ~/.local/bin,
    // /usr/local/bin, /usr/bin, the npm global prefix, ~/.openclaw/bin; nvm
    // (newest Node first), Volta, fnm (its default, then newest first), pnpm
    // and bun; the process's login environment; Homebrew's prefixes. Folders
    // are read now, not at find().
    static Places standardPlaces(const QString &homeDirectory, const EnvironmentLookup &environment);

    // The runner is shared so that a search outlives an owner that goes away.
    OpenClawLocator(std::shared_ptr<CommandRunner> runner, Places places,
                    std::chrono::milliseconds versionTimeout = std::chrono::seconds(20));

    QCoro::Task<LocatedOpenClaw> find();

private:
    // The tool's version when it answers `--version`; else records why not.
    QCoro::Task<std::optional<QString>> versionOf(QString path, QString *problem);

    std::shared_ptr<CommandRunner> m_runner;
    Places m_places;
    std::chrono::milliseconds m_versionTimeout;
};

// The tool whose own writer changes OpenClaw's configuration, found by the
// locator in the standard places for this home and environment each time
// it is asked (the windows and the terminal commands use this one finder).
OpenClawToolFinder openClawToolFinder(QString homeDirectory, EnvironmentLookup environment = processEnvironment,
                                      ProcessRunner runner = {});

} // namespace halvex
