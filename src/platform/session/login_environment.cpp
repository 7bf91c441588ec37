#include "platform/session/login_environment.h"

#include "platform/logging.h"
#include "platform/net/next_emission.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace halvex {

namespace {

constexpr char kMarker[] = "HALVEX_LOGIN_PATH=";
// Fixed text: the marker keeps what a chatty profile prints apart from the
// answer. (Quoted "$PATH" is colon-joined in fish as well.)
constexpr char kScript[] = "printf '\\n%s%s\\n' 'HALVEX_LOGIN_PATH=' \"$PATH\"";

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.isFile() && info.isExecutable();
}

QString defaultShell()
{
    const QString shell = qEnvironmentVariable("SHELL");
    return isExecutableFile(shell) ? shell : QStringLiteral("/bin/sh");
}

} // namespace

LoginEnvironment::LoginEnvironment(ProcessRunner runner, QString shell, Timings timings)
    : m_runner(processRunnerOrDefault(std::move(runner))), m_shell(shell.isEmpty() ? defaultShell() : shell),
      m_timings(timings)
{
}

std::shared_ptr<LoginEnvironment> LoginEnvironment::processDefault()
{
    static const std::shared_ptr<LoginEnvironment> environment = std::make_shared<LoginEnvironment>();
    return environment;
}

std::optional<QString> LoginEnvironment::pathFromOutput(const QByteArray &output)
{
    const QList<QByteArray> lines = output.split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->startsWith(kMarker))
            return QFile::decodeName(line->mid(qsizetype(sizeof(kMarker) - 1)).trimmed());
    }
    return std::nullopt;
}

std::optional<QString> LoginEnvironment::findOnPath(const QString &name, const QString &searchPath)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return std::nullopt;
    const QStringList folders = searchPath.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    for (const QString &folder : folders) {
        if (!QFileInfo(folder).isAbsolute())
            continue;
        const QString candidate = folder + QLatin1Char('/') + name;
        if (isExecutableFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

QCoro::Task<QString> LoginEnvironment::searchPath()
{
    // Copies: QCoro moves from what co_return names.
    if (m_searchPath)
        co_return QString(*m_searchPath);
    if (m_asking) {
        const QPointer<LoginEnvironment> waiting(this);
        co_await nextEmission(this, &LoginEnvironment::searchPathKnown);
        co_return waiting ? waiting->m_searchPath.value_or(QString()) : QString();
    }
    m_asking = true;
    QPointer<LoginEnvironment> self(this);
    // Should this run end early (its coroutine destroyed while the shell
    // runs), the callers waiting for it get an empty answer rather than
    // wait forever; the next call asks again.
    struct Release {
        QPointer<LoginEnvironment> environment;
        ~Release()
        {
            if (environment && environment->m_asking) {
                environment->m_asking = false;
                Q_EMIT environment->searchPathKnown();
            }
        }
    } release{self};
    ProcessRequest request;
    request.program = m_shell;
    request.arguments = QStringList{QStringLiteral("-lc"), QString::fromLatin1(kScript)};
    request.timeout = m_timings.timeout;
    request.outputCap = m_timings.outputCap;
    // A copy: the run may outlive this object.
    const ProcessRunner run = m_runner;
    const ProcessOutcome outcome = co_await run(std::move(request));
    if (!self)
        co_return QString();

    const std::optional<QString> path =
        outcome.status == ProcessOutcome::Status::finished ? pathFromOutput(outcome.standardOutput) : std::nullopt;
    if (path)
        qCInfo(lcApp, "Login shell %s: PATH with %ld folder(s)", qUtf8Printable(m_shell),
               long(path->split(QLatin1Char(':'), Qt::SkipEmptyParts).size()));
    else
        qCInfo(lcApp, "Login shell %s gave no PATH: it %s", qUtf8Printable(m_shell),
               qUtf8Printable(outcome.describe()));
    m_searchPath = path.value_or(QString());
    m_asking = false;
    Q_EMIT searchPathKnown();
    co_return QString(*m_searchPath);
}

QCoro::Task<std::optional<QString>> LoginEnvironment::findProgram(QString name)
{
    const QString path = co_await searchPath();
    co_return findOnPath(name, path);
}

QCoro::Task<QStringList> LoginEnvironment::environmentEntries()
{
    const QString path = co_await searchPath();
    co_return path.isEmpty() ? QStringList() : QStringList{QStringLiteral("PATH=") + path};
}

} // namespace halvex
