// Preloaded into the demo (LD_PRELOAD): the fake capture device at the path
// FAKECAM_DEVICE, which exists only in this process. While it streams, it
// fills every queued buffer with the next frame at once; every other path,
// descriptor and mapping goes to libc.
//
//   FAKECAM_SIZE        "WxH": the frame size the device grants (default: the
//                       size asked for)
//   FAKECAM_FRAMES      how many frames it delivers before it falls silent
//                       (default: no limit; 0: none at all)
//   FAKECAM_OPEN_ERRNO  the errno with which open of the device fails
//   FAKECAM_FORMAT      the one format the device offers and grants, as its
//                       fourcc code (default: YUYV)
//   FAKECAM_STREAMON_MS how long VIDIOC_STREAMON takes (default: no time)
//   FAKECAM_DQBUF_ERRNO the errno with which every VIDIOC_DQBUF fails, as
//                       after a driver's fatal streaming error
//
// Frames carry the pattern of pattern.h, the k-th dequeued buffer frame k.
// An unmap names no descriptor, so every thread's is checked against the
// buffers: the preview maps them again each time it takes the camera.
#include "fake_capture.h"
#include "pattern.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

static long frame_limit = -1;

__attribute__((constructor)) static void read_settings()
{
    if (const char* size = getenv("FAKECAM_SIZE"))
        sscanf(size, "%ux%u", &fake.answer.width, &fake.answer.height);
    if (const char* frames = getenv("FAKECAM_FRAMES"))
        frame_limit = strtol(frames, nullptr, 10);
    if (const char* err = getenv("FAKECAM_OPEN_ERRNO"))
        fake.fail(call_open, atoi(err), 0, -1);
    if (const char* format = getenv("FAKECAM_FORMAT"); format && strlen(format) == 4)
        fake.answer.pixelformat = v4l2_fourcc(format[0], format[1], format[2], format[3]);
    if (const char* err = getenv("FAKECAM_DQBUF_ERRNO"))
        fake.fail(VIDIOC_DQBUF, atoi(err), 0, -1);
    if (const char* slow = getenv("FAKECAM_STREAMON_MS"))
        fake.answer.streamon_ms = atoi(slow);
}

template <typename Function>
static Function* next(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

static void fill(uint8_t* data, long frame)
{
    for (uint32_t y = 0; y < fake.height; ++y)
        for (uint32_t x = 0; x + 1 < fake.width; x += 2)
            std::memcpy(data + size_t(y) * fake.stride + 2 * x,
                        patternAt(frame, int(x), int(y), int(fake.width), int(fake.height))->yuyv, 4);
}

static void deliver_frames()
{
    while (fake.streaming && fake.incoming.count > 0 && (frame_limit < 0 || fake.delivered < frame_limit)) {
        uint8_t* data = fake.memory[fake.deliver()];
        if (data)
            fill(data, fake.delivered);
    }
}

extern "C" {

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    static auto* const real = next<int(int, unsigned long, void*)>("ioctl");
    if (!fake_is_descriptor(fd))
        return real(fd, request, arg);
    const int result = fake_ioctl(request, arg);
    const int err = errno;
    deliver_frames();
    errno = err;
    return result;
}

int stat(const char* path, struct stat* st) noexcept
{
    static auto* const real = next<int(const char*, struct stat*)>("stat");
    if (std::strcmp(path, FAKECAM_DEVICE) != 0)
        return real(path, st);
    fake_describe(st);
    return 0;
}

int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    static auto* const real = next<int(const char*, int, mode_t)>("open");
    return std::strcmp(path, FAKECAM_DEVICE) == 0 ? fake_open(flags) : real(path, flags, mode);
}

int close(int fd)
{
    static auto* const real = next<int(int)>("close");
    return fake_is_descriptor(fd) ? fake_close() : real(fd);
}

void* mmap(void* address, size_t length, int prot, int flags, int fd, off_t offset) noexcept
{
    static auto* const real = next<void*(void*, size_t, int, int, int, off_t)>("mmap");
    return fake_is_descriptor(fd) ? fake_map(length, prot, flags, offset)
                                  : real(address, length, prot, flags, fd, offset);
}

int ppoll(struct pollfd* fds, nfds_t count, const struct timespec* limit, const sigset_t* mask)
{
    static auto* const real = next<int(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*)>("ppoll");
    for (nfds_t i = 0; i < count; ++i)
        if (fake_is_descriptor(fds[i].fd))
            fake_refresh_readable();
    return real(fds, count, limit, mask);
}

int munmap(void* address, size_t length) noexcept
{
    static auto* const real = next<int(void*, size_t)>("munmap");
    const int index = fake_mapping_at(address);
    return index < 0 ? real(address, length) : fake_unmap(uint32_t(index), length);
}

}  // extern "C"
