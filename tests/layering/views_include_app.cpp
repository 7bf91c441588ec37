// Must not compile: windows do not see the application shell's headers.
#include "app/menu_bar_controller.h"

int viewsIncludeApp()
{
    return 0;
}
