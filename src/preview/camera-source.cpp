#include "camera-source.h"

#include "camera-list.h"
#include "camera-report.h"
#include "demo.h"
#include "file-watch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <sys/inotify.h>
#include <sys/stat.h>

using namespace std::chrono_literals;

// Where udev runs, a node is made root's alone and handed to its group a
// moment later; a refusal found in that moment is not said, only looked at
// again. A busy camera is looked at again as often, as nothing tells when
// the other program lets go.
static const auto settleTime = 1s;

// Inotify on /dev rather than udev's monitor: the kernel's devtmpfs makes the
// node whether or not a udev daemon runs (the test guest has none), and
// udev's change of its group and mode comes as an attribute event.
static bool videoNodesChanged(int watch)
{
    if (watch < 0)
        return false;
    bool everything = false;
    bool video = false;
    for (const std::string& name : savedFiles(watch, everything))
        video = video || name.rfind("video", 0) == 0;
    return video || everything;
}

bool startCameraSource(CameraSource& source, bool wanted, const std::string& device)
{
    struct stat st;
    if (!device.empty() && stat(device.c_str(), &st) == 0 && !S_ISCHR(st.st_mode))
        return false;
    source.wanted = wanted;
    // The preview goes on in its data folder.
    source.device = device.empty() ? device : std::filesystem::absolute(device).string();
    source.lookNow = wanted;
    source.asked = wanted;
    source.watch = watchFolder("/dev", IN_CREATE | IN_ATTRIB | IN_MOVED_TO);
    if (source.watch < 0)
        std::fprintf(stderr, "mosaic-preview: cannot watch /dev for cameras plugged in: %s\n",
                     std::strerror(errno));
    return true;
}

static void printLine(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Each fault once, however often the same look finds it.
static void say(CameraSource& source, const std::vector<std::string>& faults)
{
    for (const std::string& fault : faults) {
        bool before = false;
        for (const std::string& said : source.said)
            before = before || said == fault;
        if (!before)
            std::fprintf(stderr, "%s\n", fault.c_str());
    }
    source.said = faults;
}

// The camera on screen, or what kept it off: a node can change between the
// look and the opening (taken by another program, say), so a failure is
// described from a fresh look.
static bool take(CameraSource& source, const CaptureNode& node, std::vector<std::string>& faults,
                 bool& again)
{
    try {
        openCamera(node.path);
    } catch (const std::runtime_error& error) {
        const CaptureNode now = inspectCaptureNode(node.path);
        faults.push_back(now.state == NodeState::Usable ? node.path + ": " + error.what() : faultLine(now));
        again = again || now.state == NodeState::Busy;
        return false;
    }
    source.shown = node.path;
    source.said.clear();
    source.asked = false;
    printLine("camera " + node.path + " (\"" + node.card + "\")");
    return true;
}

// Without a named device the search passes over nodes that deliver no YUYV
// or no video; a node asked for by name is said to do so. A camera that is
// not there is said only to a person who asked for it: a look that a node
// made waits for the next node instead, as a driver makes its nodes one by
// one.
static void lookForCamera(CameraSource& source, CameraSource::Clock::time_point now)
{
    const bool searching = source.device.empty();
    const std::vector<CaptureNode> nodes =
        searching ? captureNodes() : std::vector<CaptureNode>{inspectCaptureNode(source.device)};
    std::vector<std::string> faults;
    bool again = false;
    for (const CaptureNode& node : nodes) {
        if (node.state == NodeState::Usable) {
            if (take(source, node, faults, again))
                return;
            continue;
        }
        if (searching && (node.state == NodeState::NoYuyv || node.state == NodeState::NotCapture))
            continue;
        if (node.state == NodeState::Missing && !source.asked)
            continue;
        faults.push_back(faultLine(node));
        again = again || node.state == NodeState::Busy;
    }
    if (faults.empty() && source.asked)
        faults.push_back(noCameraLine);
    if (now < source.quietUntil) {
        source.lookAt = source.quietUntil;
        return;
    }
    say(source, faults);
    source.asked = false;
    if (again)
        source.lookAt = now + settleTime;
}

void toggleCamera(CameraSource& source)
{
    source.wanted = !source.wanted;
    source.said.clear();
    source.lookAt = {};
    source.lookNow = source.wanted;
    source.asked = source.wanted;
    if (source.wanted)
        return;
    closeCamera();
    source.shown.clear();
    printLine("scene");
}

void followCameras(CameraSource& source)
{
    const auto now = CameraSource::Clock::now();
    // The scene has let go of a device that went away, and said so; it is
    // looked for again when a node appears.
    if (!source.shown.empty() && !showsCamera()) {
        source.shown.clear();
        source.said.clear();
        source.lookNow = false;
        source.lookAt = {};
    }
    if (videoNodesChanged(source.watch)) {
        source.lookNow = true;
        source.quietUntil = now + settleTime;
    }
    if (!source.wanted || showsCamera())
        return;
    const bool due = source.lookAt != CameraSource::Clock::time_point{} && now >= source.lookAt;
    if (!source.lookNow && !due)
        return;
    source.lookNow = false;
    source.lookAt = {};
    lookForCamera(source, now);
}
