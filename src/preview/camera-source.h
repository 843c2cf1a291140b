// The camera the preview shows in place of the scene: the one named, or the
// first that delivers YUYV; taken when it is plugged in and again after it
// went away, with one line for each fault that keeps it from the picture.
// Cameras are taken one at a time, off the frame's thread: a look lists the
// nodes to try from what udev and sysfs say, and the next is tried when the
// one before is refused.
#pragma once

#include "device-watch.h"

#include <chrono>
#include <string>
#include <vector>

struct CameraSource {
    using Clock = std::chrono::steady_clock;
    bool wanted = false;
    std::string device;             // "" for the first camera that delivers YUYV
    DeviceWatch watch;
    bool lookNow = false;
    bool asked = false;             // the look was asked for (at start, by C), so it
                                    // also says what is missing
    Clock::time_point lookAt{};     // a busy camera's next look; epoch for none
    std::vector<std::string> untried;  // the look's nodes not tried yet, in order
    std::vector<std::string> faults;   // the look's fault lines so far
    std::string firstFault;         // the first of them, short
    std::vector<std::string> said;  // the last look's fault lines, said once
    std::string unshown;            // said before the window could show it
    std::string busy;               // the node looked at again while another program has it
    std::string shown;              // the node on screen; "" while the scene shows
    std::string lasting;            // while a camera is wanted and kept off: why, short
};

// Watches for cameras that come or change; one that is asked for (`wanted`)
// starts being taken at once, beside the window's set-up. A `device` without
// a folder is taken in /dev ("video0"). False when `device` exists but is no
// device node.
bool startCameraSource(CameraSource& source, bool wanted, const std::string& device);

// Between the camera and the scene, for the key C.
void toggleCamera(CameraSource& source);

// Once a frame, before drawing: hears what became of the camera being taken
// and looks for one when it may be had. The faults said on standard error
// since the last frame, one a line, for the screen.
std::string followCameras(CameraSource& source);
