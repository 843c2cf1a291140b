#pragma once

#include <SDL2/SDL.h>

// A display server that goes away must end the demo at once with a report and
// status 1. Left to themselves, Xlib calls exit(), whose SDL_Quit then waits
// for ever on the dead connection, and SDL takes a broken Wayland connection
// for a quit request, which would end the demo as if all were well.

// From here on a broken X connection ends the process with a report.
void watchDisplayConnection(SDL_Window* window);

// Ends the process with a report if the window's Wayland connection has
// broken; called once a frame, after the events.
void exitIfDisplayLost();
