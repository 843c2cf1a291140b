// A camera taken, streamed and let go without the frame's thread waiting for
// it. Opening a USB camera, setting its format and starting its stream take
// hundreds of milliseconds, stopping it as long, so those run on threads of
// their own and the camera is handed over once it delivers its first frame.
// A stream that fails while the device stays (a fatal streaming error, a USB
// error after a resume) is let go and taken again after a growing pause.
#pragma once

#include "camera-list.h"
#include "webcam.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

// What became of the camera, for the person who asked for it.
struct CameraNews {
    enum class Kind {
        Delivering,  // handed over; `text` is its driver's name
        Refused,     // it could not be taken; `text` says why, `node` is a fresh look at it
        Failing,     // its stream failed; it is taken again after a pause; `text` says why
        GaveUp,      // its stream failed time after time; it is left off; `text` says why
        Lost,        // the device went away
    };
    Kind kind = Kind::Refused;
    std::string device;
    std::string text;
    CaptureNode node;
};

// The line on standard error for a stream that failed, was given up or went
// away; "" for the other news.
std::string streamLine(const CameraNews& news);

// What the thread that takes a camera hands over: the camera with its first
// picture, or why there is none.
struct OpenedCamera {
    std::unique_ptr<Webcam> webcam;
    const RGBImage* image = nullptr;
    CameraNews failure;
};

class CameraFeed {
public:
    using Clock = std::chrono::steady_clock;

    CameraFeed(int width, int height);
    // Waits for the threads that take and let go of cameras.
    ~CameraFeed();
    CameraFeed(const CameraFeed&) = delete;
    CameraFeed& operator=(const CameraFeed&) = delete;

    // Starts taking `device` at the size asked, letting go of the camera
    // there was.
    void take(const std::string& device);
    // Lets go of the camera, or stops taking it; its news is dropped.
    void release();
    // Once a frame, without waiting: the camera's next picture, or null when
    // none came. Hands the camera over once it delivers, and takes a failed
    // one again when its pause is over.
    const RGBImage* frame(Clock::time_point now);
    // The camera is handed over and delivers.
    bool delivering() const;
    // A camera is wanted: being taken, delivering, or paused between tries.
    bool active() const;
    // What happened since the last call, oldest first.
    std::vector<CameraNews> news();

private:
    void stop();
    void startOpening();
    void stopOpening();
    const RGBImage* handOver(Clock::time_point now);
    void streamFailed(const std::string& reason, Clock::time_point now);
    void letGo(std::unique_ptr<Webcam> camera);

    int width, height;
    std::string device;                         // "" while no camera is wanted
    std::unique_ptr<Webcam> webcam;             // the camera handed over
    std::future<OpenedCamera> opening;          // the camera being taken
    std::shared_ptr<std::atomic<bool>> cancel;  // tells that thread to give up
    std::future<void> releasing;                // the last camera let go
    int failedFrames = 0;                       // frames failed since the last good one
    int failedTries = 0;                        // tries whose stream failed since it last held
    Clock::time_point deliveringSince{};
    Clock::time_point retryAt{};                // epoch: no try waits
    std::vector<CameraNews> pending;
};
