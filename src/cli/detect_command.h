#pragma once

#include <QStringList>

namespace halvex {

class UserSession;

// `halvex-bridge detect [--json]`: one detection run, every published field
// (the token masked), whether the "mobile" agent exists, and the gateways
// seen on the local network. Exit status 0 when an installation was found
// and its gateway answers.
int runDetectCommand(UserSession &session, const QStringList &arguments);

} // namespace halvex
