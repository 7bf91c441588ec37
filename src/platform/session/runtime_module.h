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
// A module is looked for in $HALVEX_MODULE_DIR when set (development builds
// only), then beside the program (the build tree), then in the installed
// module folder reached from the program's folder (bin/ or the tray's
// libexec folder). Every module carries a build note (platform/module_note.h)
// that is read from the file before it is loaded: a module of another
// build, or without the note, is refused before any of its code runs. It
// also exports its build as a string, checked once loaded. Modules are
// never unloaded: what they made lives in them.
namespace RuntimeModule {

QStringList searchFolders();

// Whether a session bus is configured that could be used without launching
// one (dbus-launch autolaunch can hang or spawn a stray bus on a headless
// box).
bool sessionBusConfigured();
// Whether there is a system bus to ask (its address is set, or its socket
// is where the system keeps it): a container often has none.
bool systemBusConfigured();

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
