#include "camera-source.h"

#include "camera-list.h"
#include "camera-report.h"
#include "demo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <sys/stat.h>

using namespace std::chrono_literals;

// A busy camera is looked at again this often, alone: nothing tells when the
// other program lets go.
static const auto busyRetry = 1s;

// A name without a folder is a node in /dev; the preview goes on in its
// data folder, so any other is made absolute.
static std::string devicePath(const std::string& device)
{
    if (device.empty())
        return device;
    if (device.find('/') == std::string::npos)
        return "/dev/" + device;
    return std::filesystem::absolute(device).string();
}

bool startCameraSource(CameraSource& source, bool wanted, const std::string& device)
{
    source.device = devicePath(device);
    struct stat st;
    if (!source.device.empty() && stat(source.device.c_str(), &st) == 0 && !S_ISCHR(st.st_mode))
        return false;
    source.wanted = wanted;
    source.lookNow = wanted;
    source.asked = wanted;
    if (!startDeviceWatch(source.watch, source.device))
        std::fprintf(stderr, "mosaic-preview: cannot watch for cameras plugged in: %s\n", std::strerror(errno));
    return true;
}

static void printLine(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Each fault once, however often the same look finds it; what is said now is
// returned, a line each.
static std::string say(CameraSource& source, const std::vector<std::string>& faults)
{
    std::string news;
    for (const std::string& fault : faults) {
        bool before = false;
        for (const std::string& said : source.said)
            before = before || said == fault;
        if (!before) {
            std::fprintf(stderr, "%s\n", fault.c_str());
            news += (news.empty() ? "" : "\n") + fault;
        }
    }
    source.said = faults;
    return news;
}

// The camera on screen, or what kept it off: a node can change between the
// look and the opening (taken by another program, say), so a failure is
// described from a fresh look.
static bool take(CameraSource& source, const CaptureNode& node, std::vector<std::string>& faults)
{
    try {
        openCamera(node.path);
    } catch (const std::runtime_error& error) {
        const CaptureNode now = inspectCaptureNode(node.path);
        faults.push_back(now.state == NodeState::Usable ? node.path + ": " + error.what() : faultLine(now));
        if (now.state == NodeState::Busy && source.busy.empty())
            source.busy = now.path;
        return false;
    }
    source.shown = node.path;
    source.said.clear();
    source.asked = false;
    printLine("camera " + node.path + " (\"" + node.card + "\")");
    return true;
}

// The named node; while a busy one is waited for, it alone; else every node
// that may capture video, without opening those udev has found do not.
static std::vector<CaptureNode> nodesToLookAt(const CameraSource& source, bool retry)
{
    if (!source.device.empty())
        return {inspectCaptureNode(source.device)};
    if (retry && !source.busy.empty())
        return {inspectCaptureNode(source.busy)};
    return captureNodes(true);
}

// Without a named device the search passes over nodes that deliver no YUYV
// or no video; a node asked for by name is said to do so. A camera that is
// not there is said only to a person who asked for it: a look that a node
// made waits for the next node instead, as a driver makes its nodes one by
// one. Returns what it said.
static std::string lookForCamera(CameraSource& source, CameraSource::Clock::time_point now, bool retry)
{
    const bool searching = source.device.empty();
    const std::vector<CaptureNode> nodes = nodesToLookAt(source, retry);
    source.busy.clear();
    std::vector<std::string> faults;
    for (const CaptureNode& node : nodes) {
        if (node.state == NodeState::Usable) {
            if (take(source, node, faults))
                return "";
            continue;
        }
        if (searching && (node.state == NodeState::NoYuyv || node.state == NodeState::NotCapture))
            continue;
        if (node.state == NodeState::Missing && !source.asked)
            continue;
        faults.push_back(faultLine(node));
        if (node.state == NodeState::Busy && source.busy.empty())
            source.busy = node.path;
    }
    if (faults.empty() && source.asked)
        faults.push_back(noCameraLine);
    const std::string news = say(source, faults);
    source.asked = false;
    if (!source.busy.empty())
        source.lookAt = now + busyRetry;
    return news;
}

void toggleCamera(CameraSource& source)
{
    source.wanted = !source.wanted;
    source.said.clear();
    source.busy.clear();
    source.lookAt = {};
    source.lookNow = source.wanted;
    source.asked = source.wanted;
    if (source.wanted)
        return;
    closeCamera();
    source.shown.clear();
    printLine("scene");
}

std::string followCameras(CameraSource& source)
{
    const auto now = CameraSource::Clock::now();
    std::string news;
    // The scene has let go of a device that went away, and said so; it is
    // looked for again when a node appears.
    if (!source.shown.empty() && !showsCamera()) {
        news = lostLine(source.shown);
        source.shown.clear();
        source.said.clear();
        source.busy.clear();
        source.lookNow = false;
        source.lookAt = {};
    }
    if (camerasChanged(source.watch))
        source.lookNow = true;
    if (!source.wanted || showsCamera())
        return news;
    const bool due = source.lookAt != CameraSource::Clock::time_point{} && now >= source.lookAt;
    if (!source.lookNow && !due)
        return news;
    const bool retry = !source.lookNow;
    source.lookNow = false;
    source.lookAt = {};
    const std::string look = lookForCamera(source, now, retry);
    return news.empty() || look.empty() ? news + look : news + "\n" + look;
}
