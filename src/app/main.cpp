// halvex-bridge-tray: the tray application, the one program that loads the
// widget stack. halvex-bridge hands the process over to it (same arguments)
// when it is started without a command; started directly, it reads the
// command line the same way.
#include "app/application.h"
#include "cli/cli.h"
#include "service/headless.h"

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
