#include "device-watch.h"

#include "camera-list.h"
#include "file-watch.h"

#include <cstring>
#include <filesystem>

#include <libudev.h>
#include <sys/inotify.h>
#include <sys/stat.h>

static bool startMonitor(DeviceWatch& watch)
{
    watch.context = udev_new();
    watch.monitor = watch.context ? udev_monitor_new_from_netlink(watch.context, "udev") : nullptr;
    if (watch.monitor && udev_monitor_filter_add_match_subsystem_devtype(watch.monitor, "video4linux", nullptr) >= 0 &&
        udev_monitor_enable_receiving(watch.monitor) >= 0)
        return true;
    udev_monitor_unref(watch.monitor);
    udev_unref(watch.context);
    watch.monitor = nullptr;
    watch.context = nullptr;
    return false;
}

static const uint32_t nodeEvents = IN_CREATE | IN_ATTRIB | IN_MOVED_TO;

// A link elsewhere than /dev itself (by-id, by-path, a person's own) may be
// made after the node; a folder that is not there yet is not watched.
static void watchLinkFolder(const DeviceWatch& watch)
{
    const std::filesystem::path folder = std::filesystem::path(watch.named).parent_path();
    if (!watch.named.empty() && folder != "/dev")
        inotify_add_watch(watch.inotify, folder.c_str(), nodeEvents);
}

bool startDeviceWatch(DeviceWatch& watch, const std::string& named)
{
    watch.named = named;
    if (udevDaemonRuns() && startMonitor(watch))
        return true;
    watch.inotify = watchFolder("/dev", nodeEvents);
    if (watch.inotify < 0)
        return false;
    watchLinkFolder(watch);
    return true;
}

static bool isNamed(const DeviceWatch& watch, dev_t number)
{
    struct stat st;
    return watch.named.empty() || (stat(watch.named.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == number);
}

// The monitor's socket does not block, so this reads what has come and
// returns. A device that goes away is let go by the scene, which finds it
// gone.
static bool monitoredChange(DeviceWatch& watch)
{
    bool changed = false;
    while (udev_device* device = udev_monitor_receive_device(watch.monitor)) {
        const char* action = udev_device_get_action(device);
        const char* capabilities = udev_device_get_property_value(device, "ID_V4L_CAPABILITIES");
        const bool capture = capabilities && std::strstr(capabilities, ":capture:");
        if (action && std::strcmp(action, "remove") != 0 && capture && isNamed(watch, udev_device_get_devnum(device)))
            changed = true;
        udev_device_unref(device);
    }
    return changed;
}

// Without udev only names tell: a video node, or the named link.
static bool watchedChange(DeviceWatch& watch)
{
    const std::string linkName = std::filesystem::path(watch.named).filename();
    bool everything = false;
    bool changed = false;
    for (const std::string& name : savedFiles(watch.inotify, everything))
        changed = changed || name.rfind("video", 0) == 0 || name == linkName;
    return changed || everything;
}

bool camerasChanged(DeviceWatch& watch)
{
    if (watch.monitor)
        return monitoredChange(watch);
    return watch.inotify >= 0 && watchedChange(watch);
}
