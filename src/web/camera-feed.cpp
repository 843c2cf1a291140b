// The camera feed on the page. The page has no threads to take a camera on,
// and needs none: the browser takes its camera without the page waiting
// (getUserMedia answers later), so the camera is made at once and counts as
// handed over with its first picture. What becomes of it the page says
// itself (camera.cpp); a camera that goes away is let go.
#include "camera-feed.h"

CameraFeed::CameraFeed(int width, int height) : width(width), height(height) {}

CameraFeed::~CameraFeed() = default;

void CameraFeed::take(const std::string& taken)
{
    device = taken;
    deliveringSince = {};
    webcam = std::make_unique<Webcam>(device, width, height);
}

void CameraFeed::release()
{
    device.clear();
    webcam.reset();
}

const RGBImage* CameraFeed::frame(Clock::time_point now)
{
    if (!webcam)
        return nullptr;
    try {
        const RGBImage& image = webcam->frame(0);
        if (deliveringSince == Clock::time_point{})
            deliveringSince = now;
        return &image;
    } catch (const CaptureDeviceLost&) {
        pending.push_back({CameraNews::Kind::Lost, device, "", {}});
        release();
    } catch (const std::runtime_error&) {
    }
    return nullptr;
}

bool CameraFeed::delivering() const
{
    return webcam && deliveringSince != Clock::time_point{};
}

bool CameraFeed::active() const
{
    return webcam != nullptr;
}

std::vector<CameraNews> CameraFeed::news()
{
    std::vector<CameraNews> said;
    said.swap(pending);
    return said;
}
