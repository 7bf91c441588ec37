#pragma once

#include "platform/session/process_runner.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <memory>
#include <optional>

namespace halvex {

// (Outside the class so that it can be a default argument there.)
struct LoginEnvironmentTimings {
    // Profiles that load version managers can be slow.
    std::chrono::milliseconds timeout = std::chrono::seconds(15);
    qint64 outputCap = 256 * 1024;
};

// What the user's login shell sets up that a desktop session may lack: its
// PATH (where nvm, Homebrew or npm put Node and the openclaw tool). The shell
// runs once, with a fixed script that only prints PATH; nothing from outside
// ever goes into that script. Programs found this way then run directly, as
// argument lists, with that PATH in their environment.
class LoginEnvironment : public QObject
{
    Q_OBJECT
public:
    using Timings = LoginEnvironmentTimings;

    // `runner` runs the shell (empty: real processes). `shell` is the login
    // shell to ask; empty: $SHELL when it names an executable file, else
    // /bin/sh.
    explicit LoginEnvironment(ProcessRunner runner = {}, QString shell = {}, Timings timings = {});

    // The one of this process, on real processes: the login shell runs at
    // most once per process however many places ask.
    static std::shared_ptr<LoginEnvironment> processDefault();

    QString shell() const { return m_shell; }

    // The login shell's PATH; empty when the shell gave none. The first call
    // runs the shell; calls made meanwhile wait for that same run.
    QCoro::Task<QString> searchPath();
    // `name` on that PATH: the first executable file, in PATH order. A name
    // with a slash is not looked up.
    QCoro::Task<std::optional<QString>> findProgram(QString name);
    // For ProcessRequest::extraEnvironment: "PATH=<login PATH>", or nothing
    // when the shell gave no PATH.
    QCoro::Task<QStringList> environmentEntries();

    // `name` on `searchPath` (colon-separated): only absolute folders count,
    // so an empty or "." entry never finds a program in the current folder.
    static std::optional<QString> findOnPath(const QString &name, const QString &searchPath);
    // The PATH the fixed script printed, found after whatever the profile
    // printed first; nothing when the marker line is missing.
    static std::optional<QString> pathFromOutput(const QByteArray &output);

Q_SIGNALS:
    void searchPathKnown();

private:
    ProcessRunner m_runner;
    QString m_shell;
    Timings m_timings;
    std::optional<QString> m_searchPath;
    bool m_asking = false;
};

} // namespace halvex
