#include "platform/session/headless_application.h"

namespace halvex {

std::unique_ptr<QCoreApplication> makeHeadlessApplication(int &argc, char **argv)
{
    // Qt reads the choice when the application makes the main thread's
    // event dispatcher, in its constructor.
    const bool userChose = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!userChose)
        qputenv("QT_NO_GLIB", "1");
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    if (!userChose)
        qunsetenv("QT_NO_GLIB");
    return app;
}

} // namespace halvex
