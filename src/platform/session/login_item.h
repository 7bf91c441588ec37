#pragma once

#include "platform/error.h"

#include <QString>

namespace halvex {

// Starting the program when the user logs in.
class LoginItem
{
public:
    virtual ~LoginItem() = default;
    // register(): start at login from now on.
    virtual Result<Done> registerItem() = 0;
    // unregister(): stop starting at login. Not being registered is no error.
    virtual Result<Done> unregisterItem() = 0;
};

// The desktop's way: an XDG autostart entry, <config home>/autostart/<app id>.desktop.
class XdgAutostartLoginItem : public LoginItem
{
public:
    // `autostartDirectory` empty: $XDG_CONFIG_HOME/autostart (~/.config/autostart).
    // `executable` empty: this program's own path.
    explicit XdgAutostartLoginItem(QString autostartDirectory = {}, QString executable = {});

    Result<Done> registerItem() override;
    Result<Done> unregisterItem() override;

    QString filePath() const;
    // The entry's text for a program path.
    static QString desktopEntry(const QString &executable);

private:
    QString m_directory;
    QString m_executable;
};

} // namespace halvex
