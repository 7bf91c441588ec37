#pragma once

#include "discovery/command_runner.h"
#include "gateway/openclaw_config.h" // EnvironmentLookup
#include "gateway/openclaw_config_patch.h"

#include "platform/session/login_environment.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace halvex {

// Where the `openclaw` tool was found, or why none that works was.
struct LocatedOpenClaw {
    std::optional<QString> path;
    // The first line of the chosen tool's `--version` answer, trimmed.
    QString version;
    // Set when a tool was found that does not run (e.g. an old Node.js first
    // on PATH): the sentence says where and why.
    QString problem;
};

// Finds a working `openclaw`: this process's PATH, the usual Linux places and
// the Node version managers first, then the login shell's PATH, then the
// Homebrew places. A candidate counts only when it is an absolute path to an
// executable file and `openclaw --version` answers.
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
    // the tool on the environment's PATH (absolute folders only); ~/.local/bin,
    // /usr/local/bin, /usr/bin, the npm global prefix, ~/.openclaw/bin; nvm
    // (newest Node first), Volta, fnm (its default, then newest first), pnpm
    // and bun; the process's login environment; Homebrew's prefixes. Folders
    // are read now, not at find().
    static Places standardPlaces(const QString &homeDirectory, const EnvironmentLookup &environment);

    // The runner is shared so that a search outlives an owner that goes away.
    OpenClawLocator(std::shared_ptr<CommandRunner> runner, Places places, int versionTimeoutMs = 20000);

    QCoro::Task<LocatedOpenClaw> find();

private:
    // The tool's version when it answers `--version`; else records why not.
    QCoro::Task<std::optional<QString>> versionOf(QString path, QString *problem);

    std::shared_ptr<CommandRunner> m_runner;
    Places m_places;
    int m_versionTimeoutMs;
};

// The tool whose own writer changes OpenClaw's configuration, found by the
// locator in the standard places for this home and environment each time
// it is asked (the windows and the terminal commands use this one finder).
OpenClawToolFinder openClawToolFinder(QString homeDirectory, EnvironmentLookup environment = processEnvironment,
                                      ProcessRunner runner = {});

} // namespace halvex
