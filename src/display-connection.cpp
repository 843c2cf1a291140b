#include "display-connection.h"
#include "common.h"

#include <SDL2/SDL_syswm.h>
#include <X11/Xlib.h>
#include <wayland-client.h>

static wl_display* waylandDisplay = nullptr;

// Xlib ends the process itself if this returns.
static int reportLostXConnection(Display* display)
{
    FATAL_WITHOUT_CLEANUP("lost the connection to X display %s", XDisplayString(display));
}

void watchDisplayConnection(SDL_Window* window)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info))
        return;
    if (info.subsystem == SDL_SYSWM_X11)
        XSetIOErrorHandler(reportLostXConnection);
    if (info.subsystem == SDL_SYSWM_WAYLAND)
        waylandDisplay = info.info.wl.display;
}

void exitIfDisplayLost()
{
    if (waylandDisplay && wl_display_get_error(waylandDisplay) != 0)
        FATAL_WITHOUT_CLEANUP("lost the connection to the Wayland compositor");
}
