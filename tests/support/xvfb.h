// Starts a private Xvfb server for programs that run the demo on a display
// of their own.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

// Starts Xvfb with one screen of `screen` ("WxHxD") on a display number the
// server picks itself, so that servers started side by side never share one,
// and returns once a client has connected to it, with its name (":N") in
// `display`. `spawned` hears of every server process as soon as it exists.
// Returns the server's process id, or -1 if no server answered.
pid_t startXvfb(const std::string& screen, std::string& display,
                const std::function<void(pid_t)>& spawned = {});
