#include "camera-source.h"

#include "camera-list.h"
#include "camera-report.h"
#include "demo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>

using namespace std::chrono_literals;
using Kind = CameraNews::Kind;

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

static void printLine(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

static std::string joined(const std::string& before, const std::string& after)
{
    return before.empty() || after.empty() ? before + after : before + "\n" + after;
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
            news = joined(news, fault);
        }
    }
    source.said = faults;
    return news;
}

// The named node; while a busy one is waited for, it alone; else every node
// that may capture video, none opened before it is tried.
static void startLook(CameraSource& source, bool retry)
{
    if (!source.device.empty())
        source.untried = {source.device};
    else if (retry && !source.busy.empty())
        source.untried = {source.busy};
    else
        source.untried = videoNodes(true);
    source.busy.clear();
    source.faults.clear();
    source.firstFault.clear();
}

// A camera that is not there is said only to a person who asked for it: a
// look that a node made waits for the next node instead, as a driver makes
// its nodes one by one. Returns what it said.
static std::string endLook(CameraSource& source, CameraSource::Clock::time_point now)
{
    if (source.faults.empty() && source.asked) {
        source.faults.push_back(noCameraLine);
        source.firstFault = noCameraShort;
    }
    if (!source.firstFault.empty())
        source.lasting = source.firstFault;
    const std::string news = say(source, source.faults);
    source.asked = false;
    if (!source.busy.empty())
        source.lookAt = now + busyRetry;
    return news;
}

static std::string tryNext(CameraSource& source, CameraSource::Clock::time_point now)
{
    if (source.untried.empty())
        return endLook(source, now);
    openCamera(source.untried.front());
    source.untried.erase(source.untried.begin());
    return "";
}

// Without a named device the search passes over nodes that deliver no YUYV
// or no video; a node asked for by name is said to do so.
static void noteRefusal(CameraSource& source, const CameraNews& news)
{
    const CaptureNode& node = news.node;
    const bool searching = source.device.empty();
    if (searching && (node.state == NodeState::NoYuyv || node.state == NodeState::NotCapture))
        return;
    if (node.state == NodeState::Missing && !source.asked)
        return;
    // A node can change between the refusal and the look at it (let go by
    // another program, say): then the refusal itself is the reason.
    const bool usable = node.state == NodeState::Usable;
    source.faults.push_back(usable ? news.device + ": " + news.text : faultLine(node));
    if (source.firstFault.empty())
        source.firstFault = usable ? news.device + ": " + news.text : shortFaultLine(node);
    if (node.state == NodeState::Busy && source.busy.empty())
        source.busy = node.path;
}

// A failed stream is taken again by the scene; one that is gone, or given
// up, is looked for again when a node appears.
static std::string hear(CameraSource& source, const CameraNews& news, CameraSource::Clock::time_point now)
{
    switch (news.kind) {
    case Kind::Delivering:
        source.shown = news.device;
        source.said.clear();
        source.untried.clear();
        source.asked = false;
        source.lasting.clear();
        printLine("camera " + news.device + " (\"" + news.text + "\")");
        return "";
    case Kind::Refused:
        noteRefusal(source, news);
        return tryNext(source, now);
    case Kind::Failing:
        source.lasting = news.device + ": no frames; trying again";
        break;
    case Kind::GaveUp:
    case Kind::Lost:
        source.lasting = news.device + (news.kind == Kind::Lost ? ": gone" : ": no frames");
        source.busy.clear();
        source.lookNow = false;
        source.lookAt = {};
        break;
    }
    source.shown.clear();
    return say(source, {streamLine(news)});
}

std::string followCameras(CameraSource& source)
{
    const auto now = CameraSource::Clock::now();
    std::string news = source.unshown;
    source.unshown.clear();
    for (const CameraNews& heard : cameraNews())
        news = joined(news, hear(source, heard, now));
    if (camerasChanged(source.watch))
        source.lookNow = true;
    if (!source.wanted || takesCamera())
        return news;
    const bool due = source.lookAt != CameraSource::Clock::time_point{} && now >= source.lookAt;
    if (!source.lookNow && !due)
        return news;
    const bool retry = !source.lookNow;
    source.lookNow = false;
    source.lookAt = {};
    startLook(source, retry);
    return joined(news, tryNext(source, now));
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
    source.unshown = followCameras(source);
    return true;
}

void toggleCamera(CameraSource& source)
{
    source.wanted = !source.wanted;
    source.said.clear();
    source.busy.clear();
    source.untried.clear();
    source.lasting.clear();
    source.lookAt = {};
    source.lookNow = source.wanted;
    source.asked = source.wanted;
    if (source.wanted)
        return;
    closeCamera();
    source.shown.clear();
    printLine("scene");
}
