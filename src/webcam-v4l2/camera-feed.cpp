#include "camera-feed.h"

#include <stdexcept>
#include <utility>

using namespace std::chrono_literals;
using Kind = CameraNews::Kind;

// Each wait of the frame's thread, in microseconds: a frame that is not
// ready costs the frame no more than this.
static const int frameWait = 100;
// Each wait for a camera's first frame, in microseconds: how soon the
// thread that takes it hears that it is no longer wanted.
static const int firstFrameWait = 100000;
// A frame that fails now and then costs only itself; this many in a row
// mean the stream has broken.
static const int failedFramesLimit = 5;
// The pause before a failed stream is taken again, doubled after each try
// that fails as well; after this many the camera is left off.
static const auto firstPause = 500ms;
static const int triesBeforeGivingUp = 5;
// A stream that delivered this long since it was taken has recovered: its
// next failure starts the pauses again.
static const auto steadyAfter = 10s;

std::string streamLine(const CameraNews& news)
{
    switch (news.kind) {
    case Kind::Failing:
        return news.device + " stopped delivering frames: " + news.text + "; trying again";
    case Kind::GaveUp:
        return news.device + " stopped delivering frames time after time: " + news.text + "; it is left off";
    case Kind::Lost:
        return news.device + ": the capture device is gone";
    case Kind::Delivering:
    case Kind::Refused:
        break;
    }
    return "";
}

// Runs on a thread of its own. The device may still be held by the
// descriptor let go before, so that is waited for first.
static OpenedCamera takeCamera(const std::string& device, int width, int height, std::future<void> before,
                               const std::shared_ptr<std::atomic<bool>>& cancel)
{
    if (before.valid())
        before.wait();
    OpenedCamera opened;
    try {
        opened.webcam = std::make_unique<Webcam>(device, width, height);
    } catch (const std::runtime_error& error) {
        // What the device is now says more than the request that failed.
        opened.failure = {Kind::Refused, device, error.what(), inspectCaptureNode(device)};
        return opened;
    }
    int failedFrames = 0;
    while (!*cancel) {
        try {
            opened.image = &opened.webcam->frame(firstFrameWait);
            return opened;
        } catch (const CaptureDeviceLost&) {
            opened.failure = {Kind::Lost, device, "", {}};
            break;
        } catch (const CaptureFrameFailed& failure) {
            if (++failedFrames < failedFramesLimit)
                continue;
            opened.failure = {Kind::Failing, device, failure.what(), {}};
            break;
        } catch (const std::runtime_error&) {
            // Nothing yet: a camera may take a second to deliver once started.
        }
    }
    opened.webcam.reset();
    return opened;
}

CameraFeed::CameraFeed(int width, int height) : width(width), height(height) {}

CameraFeed::~CameraFeed()
{
    stop();
    if (releasing.valid())
        releasing.wait();
}

void CameraFeed::take(const std::string& camera)
{
    release();
    device = camera;
    startOpening();
}

// News of the camera let go would be stale.
void CameraFeed::release()
{
    stop();
    pending.clear();
}

void CameraFeed::stop()
{
    stopOpening();
    if (webcam)
        letGo(std::move(webcam));
    device.clear();
    retryAt = {};
    failedTries = 0;
    failedFrames = 0;
}

void CameraFeed::startOpening()
{
    cancel = std::make_shared<std::atomic<bool>>(false);
    opening = std::async(std::launch::async, takeCamera, device, width, height, std::move(releasing), cancel);
}

// The thread that takes the camera is told to stop, and what it hands over
// is let go in turn with the cameras before it.
void CameraFeed::stopOpening()
{
    if (!opening.valid())
        return;
    *cancel = true;
    releasing = std::async(std::launch::async, [opened = std::move(opening), before = std::move(releasing)]() mutable {
        if (before.valid())
            before.wait();
        opened.get();
    });
}

// Stopping a stream and closing its device take as long as starting it.
void CameraFeed::letGo(std::unique_ptr<Webcam> camera)
{
    releasing = std::async(std::launch::async, [camera = std::move(camera), before = std::move(releasing)]() mutable {
        if (before.valid())
            before.wait();
        camera.reset();
    });
}

const RGBImage* CameraFeed::frame(Clock::time_point now)
{
    if (opening.valid())
        return opening.wait_for(0s) == std::future_status::ready ? handOver(now) : nullptr;
    if (!webcam) {
        if (retryAt != Clock::time_point{} && now >= retryAt) {
            retryAt = {};
            startOpening();
        }
        return nullptr;
    }
    try {
        const RGBImage& image = webcam->frame(frameWait);
        failedFrames = 0;
        if (now - deliveringSince >= steadyAfter)
            failedTries = 0;
        return &image;
    } catch (const CaptureDeviceLost&) {
        pending.push_back({Kind::Lost, device, "", {}});
        stop();
    } catch (const CaptureFrameFailed& failure) {
        if (++failedFrames >= failedFramesLimit)
            streamFailed(failure.what(), now);
    } catch (const std::runtime_error&) {
        // No frame within the wait: the picture stays as it was.
    }
    return nullptr;
}

// A try after a failed stream counts as one more failure whatever keeps the
// camera off, unless the device went away.
const RGBImage* CameraFeed::handOver(Clock::time_point now)
{
    OpenedCamera opened = opening.get();
    if (opened.webcam) {
        webcam = std::move(opened.webcam);
        failedFrames = 0;
        deliveringSince = now;
        pending.push_back({Kind::Delivering, device, webcam->card(), {}});
        return opened.image;
    }
    if (opened.failure.kind == Kind::Failing || (failedTries > 0 && opened.failure.kind == Kind::Refused)) {
        streamFailed(opened.failure.text, now);
        return nullptr;
    }
    pending.push_back(std::move(opened.failure));
    stop();
    return nullptr;
}

void CameraFeed::streamFailed(const std::string& reason, Clock::time_point now)
{
    if (webcam)
        letGo(std::move(webcam));
    failedFrames = 0;
    if (++failedTries >= triesBeforeGivingUp) {
        pending.push_back({Kind::GaveUp, device, reason, {}});
        stop();
        return;
    }
    pending.push_back({Kind::Failing, device, reason, {}});
    retryAt = now + firstPause * (1 << (failedTries - 1));
}

bool CameraFeed::delivering() const
{
    return webcam != nullptr;
}

bool CameraFeed::active() const
{
    return !device.empty();
}

std::vector<CameraNews> CameraFeed::news()
{
    return std::exchange(pending, {});
}
