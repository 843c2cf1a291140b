// Starts private servers for programs that run the demo on a display of their
// own: Xvfb, Xorg with the dummy video driver, and Weston nested in an X
// display; and PulseAudio or PipeWire, for a sound that is heard.
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

// As startXvfb, for Xorg with the dummy video driver on a monitor whose modes
// are those of a WxH panel and smaller ones, so that the screen is WxH. Its
// configuration and log go to `folder`. Only root may give Xorg a
// configuration file outside the system's folders.
pid_t startXorgDummy(int width, int height, const std::string& folder, std::string& display,
                     const std::function<void(pid_t)>& spawned = {});

// Starts Weston with one output of WxH pixels at `scale` pixels to the
// clients' unit, shown as a window on the X display `xDisplay`, listening on
// the socket `socket` in `runtimeDir` (which must exist, mode 0700), and
// returns once a client can connect to it; its log goes to `folder`. Returns
// the compositor's process id, or -1.
pid_t startWeston(const std::string& xDisplay, int width, int height, int scale, const std::string& runtimeDir,
                  const std::string& socket, const std::string& folder,
                  const std::function<void(pid_t)>& spawned = {});

// Starts PulseAudio with a null sink "heard" as its only sink, its socket
// and state in `runtimeDir` (which must exist, mode 0700), and returns once a
// client can connect to it. Returns the server's process id, or -1.
pid_t startPulseAudio(const std::string& runtimeDir, const std::function<void(pid_t)>& spawned = {});

// Starts PipeWire with its session manager, with no sink yet, its socket and
// state in `runtimeDir` as startPulseAudio's. Returns the process id of the
// script that ends them all on SIGTERM, or -1.
pid_t startPipeWire(const std::string& runtimeDir, const std::function<void(pid_t)>& spawned = {});
