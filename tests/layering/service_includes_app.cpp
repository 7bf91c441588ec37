// Must not compile: the headless service never sees the tray application
// (nor, through it, the widget stack).
#include "app/application.h"

int serviceIncludesApp()
{
    return 0;
}
