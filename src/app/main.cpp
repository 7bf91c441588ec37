// Halvex Bridge: a tray agent that links the Halvex relay to a local
// OpenClaw gateway. `--headless` serves without any window or tray.
#include "app/application.h"
#include "bridge/headless.h"
#include "cli/cli.h"

#include <cstring>

int main(int argc, char **argv)
{
    if (const std::optional<int> status = halvex::cli::dispatch(argc, argv))
        return *status;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--headless") == 0)
            return halvex::runHeadless(argc, argv);
    }
    return halvex::runApplication(argc, argv);
}
