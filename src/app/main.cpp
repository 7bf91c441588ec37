// Halvex Bridge: a tray agent that links the Halvex relay to a local
// OpenClaw gateway. `--headless` serves without any window or tray.
#include "app/application.h"
#include "app/headless.h"
#include "cli/cli.h"

int main(int argc, char **argv)
{
    const std::variant<int, halvex::cli::LaunchOptions> outcome = halvex::cli::dispatch(argc, argv);
    if (const int *status = std::get_if<int>(&outcome))
        return *status;
    const halvex::cli::LaunchOptions options = std::get<halvex::cli::LaunchOptions>(outcome);
    if (options.verbose)
        halvex::cli::enableVerboseLogging();
    if (options.headless)
        return halvex::runHeadless(argc, argv);
    return halvex::runApplication(argc, argv);
}
