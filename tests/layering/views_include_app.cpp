// Must not compile: windows do not see the application shell's headers.
#include "app/tray_controller.h"

int viewsIncludeApp()
{
    return 0;
}
