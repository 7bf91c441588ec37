#pragma once

#include "discovery/command_runner.h"
#include "gateway/openclaw_config.h" // EnvironmentLookup

#include "platform/login_environment.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace halvex {

// Where the `openclaw` tool was found, or why none that works was.
struct LocatedOpenClaw {
    std::optional<QString> path;
    // Set when a tool was found that does not run (e.g. an old Node.js first
    // on PATH): the sentence says where and why.
    QString problem;
};

// Finds a working `openclaw`: the usual Linux places first, then the login
// shell's PATH, then the Homebrew places. A candidate counts only when it is
// an executable file and `openclaw --version` answers.
class OpenClawLocator
{
public:
    struct Places {
        QStringList beforeShell; // checked first, in order
        // The login shell's PATH is searched next; none: not asked.
        std::shared_ptr<LoginEnvironment> loginEnvironment;
        QStringList afterShell;  // checked last
    };

    // The usual places for this home directory and environment:
    // ~/.local/bin, /usr/local/bin, /usr/bin, the npm global prefix,
    // ~/.openclaw/bin; the process's login environment; Homebrew's prefixes.
    static Places standardPlaces(const QString &homeDirectory, const EnvironmentLookup &environment);

    // The runner is shared so that a search outlives an owner that goes away.
    OpenClawLocator(std::shared_ptr<CommandRunner> runner, Places places, int versionTimeoutMs = 20000);

    QCoro::Task<LocatedOpenClaw> find();

private:
    // True when the tool answers `--version`; else records why not.
    QCoro::Task<bool> works(QString path, QString *problem);

    std::shared_ptr<CommandRunner> m_runner;
    Places m_places;
    int m_versionTimeoutMs;
};

} // namespace halvex
