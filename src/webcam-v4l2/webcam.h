#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// One driver buffer mapped into the process.
struct buffer {
    void* data;
    size_t size;
};

// A converted frame: packed 8-bit RGB, rows 3 * width bytes without gaps.
// Copying the record copies the pointer, not the pixels.
struct RGBImage {
    uint8_t* data;
    size_t width;
    size_t height;
    size_t size;
};

// ioctl, asked again for as long as a signal interrupts it.
int xioctl(int fh, unsigned long request, void* arg);

// Thrown when the driver answers that the device is gone (unplugged, say):
// the object can only be destroyed after it, which adds no report of its own.
class CaptureDeviceLost : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown when a frame fails while the device stays (a driver's fatal
// streaming error, a USB error after a resume, a buffer flagged corrupt):
// the stream may recover from one such frame, but not from one after another.
// The message is the reason alone, without the device.
class CaptureFrameFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A V4L2 capture device streaming YUYV frames through memory-mapped buffers.
// Every failure throws std::runtime_error.
class Webcam {
public:
    Webcam(const std::string& device, int width, int height);
    ~Webcam();
    Webcam(const Webcam&) = delete;
    Webcam& operator=(const Webcam&) = delete;

    // Waits at most `timeout` microseconds per wait for the next frame.
    // Throws CaptureDeviceLost once the device is gone, CaptureFrameFailed
    // for a failed frame and std::runtime_error when none came in time.
    const RGBImage& frame(int timeout);
    int width() const;
    int height() const;
    // The driver's name for the device, VIDIOC_QUERYCAP's card.
    const std::string& card() const;

private:
    void open_device();
    void init_device();
    void init_mmap();
    void alloc_rgb_frame();
    void start_capturing();
    void stop_capturing();
    void uninit_device();
    void close_device();
    bool read_frame();
    size_t frame_bytes() const;
    void release(void (Webcam::*step)()) noexcept;
    void release_construction() noexcept;
    [[noreturn]] void lost();

    std::string device;
    std::string card_name;
    int fd = -1;
    RGBImage rgb_frame = {};
    buffer* buffers = nullptr;
    uint32_t n_buffers = 0;
    size_t xres, yres;
    size_t stride = 0;
    bool force_format;
    bool gone = false;
};
