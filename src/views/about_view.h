#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace halvex {

// The About window's content: the mark, the name, the version and what the
// program is for. No state.
class AboutView : public QWidget
{
    Q_OBJECT
public:
    struct VersionInfo {
        QString shortVersion; // empty: "1.0.0"
        QString build;        // empty: "1"
    };

    // The version of this build.
    explicit AboutView(QWidget *parent = nullptr);
    explicit AboutView(VersionInfo version, QWidget *parent = nullptr);

    // "Version <short> (<build>)", with the fall-backs for missing parts.
    static QString versionLine(const VersionInfo &version);

    QString versionText() const;

private:
    QLabel *m_version = nullptr;
};

} // namespace halvex
