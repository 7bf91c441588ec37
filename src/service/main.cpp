// Halvex Bridge: links the Halvex relay to a local OpenClaw gateway. This
// program is the terminal face and the headless bridge, on Qt Core and
// Network alone; without a command it becomes the tray program.
#include "cli/cli.h"
#include "service/headless.h"
#include "service/tray_launcher.h"

int main(int argc, char **argv)
{
    const std::variant<int, halvex::cli::LaunchOptions> outcome = halvex::cli::dispatch(argc, argv);
    if (const int *status = std::get_if<int>(&outcome))
        return *status;
    const halvex::cli::LaunchOptions options = std::get<halvex::cli::LaunchOptions>(outcome);
    if (!options.headless)
        return halvex::execTrayProgram(argc, argv);
    if (options.verbose)
        halvex::cli::enableVerboseLogging();
    return halvex::runHeadless(argc, argv);
}
