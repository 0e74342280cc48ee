#include "agent/TokenAgent.h"

#include "platform/window.h"

bool CTokenAgent::AttachWindow(plat::WindowHandle mainWindow, plat::WindowHandle console) {
    log_.Attach(mainWindow, console);
    // Attaching again (a repeated WM_CREATE) closes the channels opened before.
    channels_.OpenAtWindowCreation();
    plat::SetTimer(mainWindow, kHelloTimer, kFirstTickMs);
    return true;
}
