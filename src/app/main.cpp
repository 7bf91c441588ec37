// Halvex Bridge: a tray agent that links the Halvex relay to a local
// OpenClaw gateway. `--headless` serves without any window or tray.
#include "app/application.h"
#include "bridge/headless.h"

#include <cstring>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0)
            return halvex::runHeadless(argc, argv);
    }
    return halvex::runApplication(argc, argv);
}
