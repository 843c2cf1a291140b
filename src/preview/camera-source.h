// The camera the preview shows in place of the scene: the one named, or the
// first that delivers YUYV; taken when it is plugged in and again after it
// went away, with one line for each fault that keeps it from the picture.
#pragma once

#include <chrono>
#include <string>
#include <vector>

struct CameraSource {
    using Clock = std::chrono::steady_clock;
    bool wanted = false;
    std::string device;             // "" for the first camera that delivers YUYV
    int watch = -1;                 // inotify on /dev; -1 when it cannot be watched
    bool lookNow = false;
    bool asked = false;             // the next look was asked for (at start, by C), so it
                                    // also says what is missing
    Clock::time_point lookAt{};     // a look due later (a busy camera, a node just made); epoch for none
    Clock::time_point quietUntil{}; // faults found before this are not said yet
    std::vector<std::string> said;  // the last look's fault lines, said once
    std::string shown;              // the node on screen; "" while the scene shows
};

// Watches /dev for nodes that appear or change; one that is asked for
// (`wanted`) is looked for at the first frame. False when `device` exists
// but is no device node.
bool startCameraSource(CameraSource& source, bool wanted, const std::string& device);

// Between the camera and the scene, for the key C.
void toggleCamera(CameraSource& source);

// Once a frame, before drawing: takes the camera when it can be had.
void followCameras(CameraSource& source);
