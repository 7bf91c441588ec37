#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace halvex::test {

// A fake `openclaw` command-line tool: a small shell script in a temporary
// folder. "devices list" prints the scripted table or text, "devices list
// --json" the scripted JSON (or an unknown-option error when none is set),
// and "devices approve [--] <id>" records the id and prints "Approved <id>".
// Every call's arguments are recorded.
class FakeOpenClawCommand
{
public:
    // `folderName` becomes part of the script's path (it may hold a space).
    explicit FakeOpenClawCommand(const QString &folderName = QStringLiteral("bin"));

    bool isValid() const { return m_valid; }
    QString path() const { return m_path; }

    void setListOutput(const QString &text);
    // nullopt: "--json" is refused as an unknown option.
    void setJsonListOutput(const std::optional<QString> &json);

    // The ids passed to "devices approve", in order.
    QStringList approvedIds() const;
    // Every call's arguments, one line each.
    QStringList calls() const;

private:
    QString file(const QString &name) const;

    QTemporaryDir m_dir;
    QString m_folder;
    QString m_path;
    bool m_valid = false;
};

} // namespace halvex::test
