#pragma once

#include <QtGlobal>

namespace halvex::test {

// A loopback TCP port that nothing listens on (it was free a moment ago):
// connecting to it is refused at once.
quint16 closedLoopbackPort();

} // namespace halvex::test
