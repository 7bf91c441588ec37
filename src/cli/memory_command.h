#pragma once

#include <QStringList>
#include <QUrl>

#include <functional>

class QTextStream;

namespace halvex {

class CredentialStore;
class UserSession;
class Settings;

namespace cli {

// What `halvex-bridge memory` works with; the real command uses the user's
// settings, credential store and the deployment's relay.
struct MemoryCommandContext {
    Settings *settings = nullptr;
    // Opened only for what needs a credential (the store may log or prompt).
    std::function<CredentialStore *()> credentials;
    QUrl relayOrigin;
    // Asks the user a yes/no question; none: askYesNo() on the terminal.
    std::function<bool(const QString &question)> confirm;
};

// `halvex-bridge memory [status|on|off|show] [--json] [--yes]`: the menu's
// Memory Sync switch (on: after the menu's cost notice and a confirmation),
// and the soul file the relay keeps.
int runMemoryCommand(UserSession &session, const QStringList &arguments);
int runMemoryCommand(const QStringList &arguments, const MemoryCommandContext &context, QTextStream &out,
                     QTextStream &err);

} // namespace cli
} // namespace halvex
