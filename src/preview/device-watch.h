// Whether a camera came or changed, asked once a frame without waiting and
// without opening any device. Where a udev daemon runs its monitor tells,
// once the device has its group, mode and links; elsewhere (a minimal system,
// the test guest) inotify watches /dev, where the kernel makes the nodes, and
// the folder of a link that names the camera.
#pragma once

#include <string>

struct udev;
struct udev_monitor;

struct DeviceWatch {
    std::string named;            // the path a person gave; "" for any camera
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    int inotify = -1;
};

// False, with errno set, when neither way can watch.
bool startDeviceWatch(DeviceWatch& watch, const std::string& named);

// Whether, since the last call, a capture device came or changed; with a
// named camera only that one counts, however it is spelt: its device number
// is compared.
bool camerasChanged(DeviceWatch& watch);
