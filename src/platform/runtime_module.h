#pragma once

#include <QString>
#include <QStringList>

#include <initializer_list>

class QLibrary;

namespace halvex {

// Parts of the programs that pull in large libraries live in modules of
// their own, loaded only when needed: halvex-secret-service.so (libsecret,
// GIO) and halvex-desktop-bus.so (Qt D-Bus: Avahi and desktop
// notifications).
//
// A module is looked for in $HALVEX_MODULE_DIR when set, then beside the
// program (the build tree), then in the installed module folder reached
// from the program's folder (bin/ or the tray's libexec folder). Every
// module exports its build as a string; a module from another build is
// refused. Modules are never unloaded: what they made lives in them.
namespace RuntimeModule {

QStringList searchFolders();

// Whether a session bus is configured that could be used without launching
// one (dbus-launch autolaunch can hang or spawn a stray bus on a headless
// box).
bool sessionBusConfigured();

struct Loaded {
    QLibrary *library = nullptr; // null when the module cannot be used
    QString problem;             // then why: missing, unloadable, another build

    // The named export; null when the module was not loaded.
    void *resolve(const char *symbol) const;
};

// Finds, loads and checks `fileName` (the caller logs a problem); `versionSymbol` names its build
// function, `required` the other exports it must have.
Loaded load(const char *fileName, const char *versionSymbol, std::initializer_list<const char *> required);

} // namespace RuntimeModule

} // namespace halvex
