// The camera the preview shows in place of the scene: the one named, or the
// first that delivers YUYV; taken when it is plugged in and again after it
// went away, with one line for each fault that keeps it from the picture.
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
    bool asked = false;             // the next look was asked for (at start, by C), so it
                                    // also says what is missing
    Clock::time_point lookAt{};     // a busy camera's next look; epoch for none
    std::vector<std::string> said;  // the last look's fault lines, said once
    std::string busy;               // the node looked at again while another program has it
    std::string shown;              // the node on screen; "" while the scene shows
};

// Watches for cameras that come or change; one that is asked for (`wanted`)
// is looked for at the first frame. A `device` without a folder is taken in
// /dev ("video0"). False when `device` exists but is no device node.
bool startCameraSource(CameraSource& source, bool wanted, const std::string& device);

// Between the camera and the scene, for the key C.
void toggleCamera(CameraSource& source);

// Once a frame, before drawing: takes the camera when it can be had. The
// faults said on standard error this frame, one a line, for the screen.
std::string followCameras(CameraSource& source);
