#include "webcam.h"

#include "yuyv.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int xioctl(int fh, unsigned long request, void* arg)
{
    int r;
    do {
        r = ioctl(fh, request, arg);
    } while (r == -1 && errno == EINTR);
    return r;
}

static std::runtime_error errno_error(const std::string& device, const char* what)
{
    const int err = errno;
    return std::runtime_error(device + what + std::to_string(err) + ": " + std::strerror(err));
}

static CaptureFrameFailed frame_failure(const char* what)
{
    return CaptureFrameFailed(std::string(what) + ": " + std::strerror(errno));
}

static v4l2_buffer mmap_buffer(uint32_t index)
{
    v4l2_buffer buf;
    std::memset(&buf, 0, sizeof buf);
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = index;
    return buf;
}

Webcam::Webcam(const std::string& device, int width, int height)
    : device(device), xres(width), yres(height), force_format(true)
{
    try {
        open_device();
        init_device();
        alloc_rgb_frame();
        start_capturing();
    } catch (...) {
        release_construction();
        throw;
    }
}

// A device that is gone has stopped streaming with it; its mappings and
// descriptor are still the process's to give back.
Webcam::~Webcam()
{
    if (!gone)
        release(&Webcam::stop_capturing);
    release(&Webcam::uninit_device);
    release(&Webcam::close_device);
    std::free(rgb_frame.data);
}

// Streaming is switched on by the last step of construction, so a failed
// construction has at most buffers, mappings, descriptor and frame to give back.
void Webcam::release_construction() noexcept
{
    release(&Webcam::uninit_device);
    if (fd != -1)
        release(&Webcam::close_device);
    std::free(rgb_frame.data);
}

// A destructor cannot pass a failure on, so a failing step is reported and
// the remaining steps still run.
void Webcam::release(void (Webcam::*step)()) noexcept
{
    try {
        (this->*step)();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: releasing the capture device: %s\n", device.c_str(), e.what());
    }
}

// poll takes any descriptor, where select's fixed set ends at 1024; ppoll
// keeps the wait in microseconds.
const RGBImage& Webcam::frame(int timeout)
{
    for (;;) {
        pollfd wait = {fd, POLLIN, 0};
        const timespec limit = {timeout / 1000000, (timeout % 1000000) * 1000L};
        const int r = ppoll(&wait, 1, &limit, nullptr);
        if (r == -1) {
            if (errno == EINTR)
                continue;
            if (errno == ENODEV)
                lost();
            throw frame_failure("select");
        }
        if (r == 0)
            throw std::runtime_error(device + ": select timeout");
        if (read_frame())
            return rgb_frame;
    }
}

void Webcam::lost()
{
    gone = true;
    throw CaptureDeviceLost(device + ": the capture device is gone");
}

int Webcam::width() const
{
    return static_cast<int>(xres);
}

int Webcam::height() const
{
    return static_cast<int>(yres);
}

const std::string& Webcam::card() const
{
    return card_name;
}

void Webcam::open_device()
{
    struct stat st;
    if (stat(device.c_str(), &st) == -1)
        throw errno_error(device, ": cannot identify! ");
    if (!S_ISCHR(st.st_mode))
        throw std::runtime_error(device + " is no device");

    fd = open(device.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1)
        throw errno_error(device, ": cannot open! ");
}

void Webcam::init_device()
{
    v4l2_capability cap;
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == -1) {
        // Today's kernels answer ENOTTY for a descriptor without this request.
        if (errno == EINVAL || errno == ENOTTY)
            throw std::runtime_error(device + " is no V4L2 device");
        throw std::runtime_error("VIDIOC_QUERYCAP");
    }
    card_name = reinterpret_cast<const char*>(cap.card);
    if (!(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE))
        throw std::runtime_error(device + " is no video capture device");
    if (!(cap.capabilities & V4L2_CAP_STREAMING))
        throw std::runtime_error(device + " does not support streaming i/o");

    // Cropping is only reset where the driver offers it; its failure is harmless.
    v4l2_cropcap cropcap;
    std::memset(&cropcap, 0, sizeof cropcap);
    cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_CROPCAP, &cropcap) == 0) {
        v4l2_crop crop;
        crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        crop.c = cropcap.defrect;
        xioctl(fd, VIDIOC_S_CROP, &crop);
    }

    v4l2_format fmt;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (force_format) {
        fmt.fmt.pix.width = static_cast<uint32_t>(xres);
        fmt.fmt.pix.height = static_cast<uint32_t>(yres);
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
        fmt.fmt.pix.field = V4L2_FIELD_INTERLACED;
        if (xioctl(fd, VIDIOC_S_FMT, &fmt) == -1)
            throw std::runtime_error("VIDIOC_S_FMT");
        if (fmt.fmt.pix.pixelformat != V4L2_PIX_FMT_YUYV)
            throw std::runtime_error(
                "Webcam does not support YUYV format. Support for more format need to be added!");
        // The driver's size wins over the request.
        xres = fmt.fmt.pix.width;
        yres = fmt.fmt.pix.height;
        // A row shorter than its pixels (0 included) would make every row
        // reread the first, so such an answer means rows back to back.
        stride = fmt.fmt.pix.bytesperline;
        if (stride < 2 * xres)
            stride = 2 * xres;
    }

    init_mmap();
}

void Webcam::init_mmap()
{
    v4l2_requestbuffers req;
    std::memset(&req, 0, sizeof req);
    req.count = 4;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(fd, VIDIOC_REQBUFS, &req) == -1) {
        if (errno == EINVAL)
            throw std::runtime_error(device + " does not support memory mapping");
        throw std::runtime_error("VIDIOC_REQBUFS");
    }
    if (req.count < 2)
        throw std::runtime_error("Insufficient buffer memory on " + device);

    buffers = static_cast<buffer*>(std::calloc(req.count, sizeof *buffers));
    if (!buffers)
        throw std::runtime_error("Out of memory");

    for (n_buffers = 0; n_buffers < req.count; ++n_buffers) {
        v4l2_buffer buf = mmap_buffer(n_buffers);
        if (xioctl(fd, VIDIOC_QUERYBUF, &buf) == -1)
            throw std::runtime_error("VIDIOC_QUERYBUF");
        buffers[n_buffers].size = buf.length;
        buffers[n_buffers].data =
            mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
        if (buffers[n_buffers].data == MAP_FAILED)
            throw std::runtime_error("mmap");
    }
}

void Webcam::alloc_rgb_frame()
{
    size_t size;
    if (__builtin_mul_overflow(xres, yres, &size) || __builtin_mul_overflow(size, 3, &size))
        throw std::runtime_error("Out of memory");
    rgb_frame.data = static_cast<uint8_t*>(std::malloc(size));
    if (!rgb_frame.data)
        throw std::runtime_error("Out of memory");
    rgb_frame.width = xres;
    rgb_frame.height = yres;
    rgb_frame.size = size;
}

void Webcam::start_capturing()
{
    for (uint32_t i = 0; i < n_buffers; ++i) {
        v4l2_buffer buf = mmap_buffer(i);
        if (xioctl(fd, VIDIOC_QBUF, &buf) == -1)
            throw std::runtime_error("VIDIOC_QBUF");
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_STREAMON, &type) == -1)
        throw std::runtime_error("VIDIOC_STREAMON");
}

void Webcam::stop_capturing()
{
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(fd, VIDIOC_STREAMOFF, &type) == -1)
        throw std::runtime_error("VIDIOC_STREAMOFF");
}

// Every mapping is given back even when one fails, so a single bad buffer
// does not keep the others and the array alive.
void Webcam::uninit_device()
{
    bool failed = false;
    for (uint32_t i = 0; i < n_buffers; ++i)
        failed |= munmap(buffers[i].data, buffers[i].size) == -1;
    n_buffers = 0;
    std::free(buffers);
    buffers = nullptr;
    if (failed)
        throw std::runtime_error("munmap");
}

void Webcam::close_device()
{
    if (close(fd) == -1)
        throw std::runtime_error("close");
    fd = -1;
}

// Bytes of a buffer the agreed geometry covers: every row but the last at
// its stride, the last only as far as its pixels reach.
size_t Webcam::frame_bytes() const
{
    size_t bytes;
    if (yres == 0)
        return 0;
    if (__builtin_mul_overflow(yres - 1, stride, &bytes) || __builtin_add_overflow(bytes, 2 * xres, &bytes))
        return SIZE_MAX;
    return bytes;
}

bool Webcam::read_frame()
{
    v4l2_buffer buf = mmap_buffer(0);
    if (xioctl(fd, VIDIOC_DQBUF, &buf) == -1) {
        if (errno == EAGAIN)
            return false;
        if (errno == ENODEV)
            lost();
        throw frame_failure("VIDIOC_DQBUF");
    }
    if (buf.index >= n_buffers)
        throw CaptureFrameFailed("the driver returned unknown buffer " + std::to_string(buf.index));

    const buffer& mapped = buffers[buf.index];
    // A buffer the driver flags as corrupt holds no picture, but goes back
    // to the queue as any other.
    const bool corrupt = (buf.flags & V4L2_BUF_FLAG_ERROR) != 0;
    const bool fits = frame_bytes() <= mapped.size;
    if (fits && !corrupt)
        v4lconvert_yuyv_to_rgb24(static_cast<const uint8_t*>(mapped.data), rgb_frame.data,
                                 static_cast<int>(xres), static_cast<int>(yres), static_cast<int>(stride));

    if (xioctl(fd, VIDIOC_QBUF, &buf) == -1) {
        if (errno == ENODEV)
            lost();
        throw frame_failure("VIDIOC_QBUF");
    }
    if (corrupt)
        throw CaptureFrameFailed("the driver flagged a frame as corrupt");
    if (!fits)
        throw CaptureFrameFailed("a frame of " + std::to_string(frame_bytes()) +
                                 " bytes does not fit its buffer of " + std::to_string(mapped.size) + " bytes");
    return true;
}
