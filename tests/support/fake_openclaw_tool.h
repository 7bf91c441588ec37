#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace halvex::test {

// A scripted `openclaw` for the detector: a small shell script in a
// temporary folder that answers each argument list with what the test set
// (standard output, standard error, exit status, an optional delay) and
// records every call (and what a "--stdin" call read). Unscripted commands print nothing and exit 1;
// "--version" answers "2026.9.6" unless scripted otherwise.
class FakeOpenClawTool
{
public:
    // `folderName` is made inside the temporary folder; an absolute one is
    // made where it names (for a tool in a scratch home's usual places).
    explicit FakeOpenClawTool(const QString &folderName = QStringLiteral("bin"));

    bool isValid() const { return m_valid; }
    QString path() const { return m_path; }
    QString folder() const { return m_folder; }

    void setAnswer(const QStringList &arguments, const QByteArray &output, int exitCode = 0,
                   const QByteArray &errorOutput = {});
    void setDelay(const QStringList &arguments, int seconds);
    // Every call's arguments joined by spaces, in order.
    QStringList calls() const;
    // What the last call with "--stdin" read from its standard input.
    QByteArray lastStandardInput() const;

private:
    QString dataFile(const QStringList &arguments, const char *suffix) const;

    QTemporaryDir m_dir;
    QString m_folder;
    QString m_path;
    bool m_valid = false;
};

} // namespace halvex::test
