// Preloaded into the demo (LD_PRELOAD): a V4L2 capture device at the path
// FAKECAM_DEVICE that exists only in this process. Its descriptor is a real
// eventfd, readable while a filled buffer can be dequeued, so the real select
// waits on it; every other path, descriptor and mapping goes to libc.
//
//   FAKECAM_SIZE        "WxH": the frame size the device grants (default: the
//                       size asked for)
//   FAKECAM_FRAMES      how many frames it delivers before it falls silent
//                       (default: no limit; 0: none at all)
//   FAKECAM_OPEN_ERRNO  the errno with which open of the device fails
//
// Frames carry the pattern of pattern.h, the k-th dequeued buffer frame k.
#define _GNU_SOURCE
#include "pattern.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

enum { MAX_BUFFERS = 8 };

struct FakeBuffer {
    uint8_t* data;
    int queued;
};

// Only the descriptor is looked at from other threads (Mesa's, SDL's).
static _Atomic int deviceFd = -1;

static uint32_t width, height;
static uint32_t grantedWidth, grantedHeight;
static long frameLimit = -1;
static long delivered;
static int streaming;
static int readable;
static struct FakeBuffer buffers[MAX_BUFFERS];
static uint32_t bufferCount;
static uint32_t queue[MAX_BUFFERS];
static uint32_t queueHead, queueLength;

__attribute__((constructor)) static void readSettings(void)
{
    const char* size = getenv("FAKECAM_SIZE");
    if (size)
        sscanf(size, "%ux%u", &grantedWidth, &grantedHeight);
    const char* frames = getenv("FAKECAM_FRAMES");
    if (frames)
        frameLimit = strtol(frames, NULL, 10);
}

static void* real(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static int isDevice(const char* path)
{
    return path && strcmp(path, FAKECAM_DEVICE) == 0;
}

static int isDeviceFd(int fd)
{
    return fd >= 0 && fd == atomic_load(&deviceFd);
}

static int fail(int error)
{
    errno = error;
    return -1;
}

static size_t imageSize(void)
{
    return (size_t)width * 2 * height;
}

// Buffers sit at page-aligned offsets, one image apart, as drivers place them.
static size_t bufferSpan(void)
{
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return (imageSize() + page - 1) / page * page;
}

static int frameReady(void)
{
    return streaming && queueLength > 0 && (frameLimit < 0 || delivered < frameLimit);
}

// The eventfd's counter mirrors whether a dequeue would succeed.
static void updateReadable(void)
{
    uint64_t count = 1;
    int ready = frameReady();
    if (ready && !readable)
        readable = write(deviceFd, &count, sizeof count) == sizeof count;
    else if (!ready && readable)
        readable = read(deviceFd, &count, sizeof count) != sizeof count;
}

static void fillFrame(uint8_t* data, long frame)
{
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; x += 2)
            memcpy(data + (size_t)y * width * 2 + x * 2, patternAt(frame, x, y, width, height)->yuyv, 4);
}

static int queryCapabilities(struct v4l2_capability* cap)
{
    memset(cap, 0, sizeof *cap);
    strcpy((char*)cap->driver, "fakecam");
    strcpy((char*)cap->card, "fake capture device");
    cap->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
    cap->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    return 0;
}

static int cropCapabilities(struct v4l2_cropcap* cropcap)
{
    if (cropcap->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return fail(EINVAL);
    cropcap->bounds = (struct v4l2_rect){0, 0, 640, 480};
    cropcap->defrect = cropcap->bounds;
    cropcap->pixelaspect = (struct v4l2_fract){1, 1};
    return 0;
}

static int setFormat(struct v4l2_format* format)
{
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || bufferCount > 0)
        return fail(format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ? EINVAL : EBUSY);
    struct v4l2_pix_format* pix = &format->fmt.pix;
    width = grantedWidth ? grantedWidth : pix->width;
    height = grantedHeight ? grantedHeight : pix->height;
    pix->width = width;
    pix->height = height;
    pix->pixelformat = V4L2_PIX_FMT_YUYV;
    pix->field = V4L2_FIELD_NONE;
    pix->bytesperline = width * 2;
    pix->sizeimage = (uint32_t)imageSize();
    pix->colorspace = V4L2_COLORSPACE_SRGB;
    return 0;
}

static int requestBuffers(struct v4l2_requestbuffers* request)
{
    if (request->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request->memory != V4L2_MEMORY_MMAP)
        return fail(EINVAL);
    if (streaming)
        return fail(EBUSY);
    bufferCount = request->count < MAX_BUFFERS ? request->count : MAX_BUFFERS;
    request->count = bufferCount;
    memset(buffers, 0, sizeof buffers);
    queueHead = queueLength = 0;
    return 0;
}

static int describeBuffer(struct v4l2_buffer* buf)
{
    if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->index >= bufferCount)
        return fail(EINVAL);
    buf->memory = V4L2_MEMORY_MMAP;
    buf->length = (uint32_t)imageSize();
    buf->m.offset = (uint32_t)(buf->index * bufferSpan());
    return 0;
}

static int queueBuffer(struct v4l2_buffer* buf)
{
    if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->memory != V4L2_MEMORY_MMAP ||
        buf->index >= bufferCount || buffers[buf->index].queued)
        return fail(EINVAL);
    buffers[buf->index].queued = 1;
    queue[(queueHead + queueLength++) % MAX_BUFFERS] = buf->index;
    return 0;
}

static int dequeueBuffer(struct v4l2_buffer* buf)
{
    if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->memory != V4L2_MEMORY_MMAP)
        return fail(EINVAL);
    if (!frameReady())
        return fail(EAGAIN);
    uint32_t index = queue[queueHead];
    queueHead = (queueHead + 1) % MAX_BUFFERS;
    --queueLength;
    struct FakeBuffer* taken = &buffers[index];
    taken->queued = 0;
    if (taken->data)
        fillFrame(taken->data, delivered + 1);
    buf->index = index;
    buf->bytesused = (uint32_t)imageSize();
    buf->length = (uint32_t)imageSize();
    buf->m.offset = (uint32_t)(index * bufferSpan());
    buf->field = V4L2_FIELD_NONE;
    buf->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_DONE;
    buf->sequence = (uint32_t)delivered++;
    return 0;
}

static int switchStreaming(const int* type, int on)
{
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return fail(EINVAL);
    streaming = on;
    if (!on) {
        for (uint32_t i = 0; i < bufferCount; ++i)
            buffers[i].queued = 0;
        queueHead = queueLength = 0;
    }
    return 0;
}

static int deviceRequest(unsigned long request, void* arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP:
        return queryCapabilities(arg);
    case VIDIOC_CROPCAP:
        return cropCapabilities(arg);
    case VIDIOC_S_CROP:
        return ((struct v4l2_crop*)arg)->type == V4L2_BUF_TYPE_VIDEO_CAPTURE ? 0 : fail(EINVAL);
    case VIDIOC_S_FMT:
        return setFormat(arg);
    case VIDIOC_REQBUFS:
        return requestBuffers(arg);
    case VIDIOC_QUERYBUF:
        return describeBuffer(arg);
    case VIDIOC_QBUF:
        return queueBuffer(arg);
    case VIDIOC_DQBUF:
        return dequeueBuffer(arg);
    case VIDIOC_STREAMON:
        return switchStreaming(arg, 1);
    case VIDIOC_STREAMOFF:
        return switchStreaming(arg, 0);
    default:
        return fail(ENOTTY);
    }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (isDeviceFd(fd)) {
        int result = deviceRequest(request, arg);
        int error = errno;
        updateReadable();
        errno = error;
        return result;
    }
    static int (*next)(int, unsigned long, void*);
    if (!next)
        next = (int (*)(int, unsigned long, void*))real("ioctl");
    return next(fd, request, arg);
}

int stat(const char* path, struct stat* st)
{
    if (isDevice(path)) {
        memset(st, 0, sizeof *st);
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(81, 0);
        st->st_nlink = 1;
        return 0;
    }
    static int (*next)(const char*, struct stat*);
    if (!next)
        next = (int (*)(const char*, struct stat*))real("stat");
    return next(path, st);
}

static int openDevice(void)
{
    const char* openErrno = getenv("FAKECAM_OPEN_ERRNO");
    if (openErrno)
        return fail(atoi(openErrno));
    if (deviceFd >= 0)
        return fail(EBUSY);
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0)
        atomic_store(&deviceFd, fd);
    return fd;
}

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (isDevice(path))
        return openDevice();
    static int (*next)(const char*, int, mode_t);
    if (!next)
        next = (int (*)(const char*, int, mode_t))real("open");
    return next(path, flags, mode);
}

int close(int fd)
{
    if (isDeviceFd(fd)) {
        atomic_store(&deviceFd, -1);
        streaming = 0;
        readable = 0;
    }
    static int (*next)(int);
    if (!next)
        next = (int (*)(int))real("close");
    return next(fd);
}

// A buffer's mapping is anonymous memory; the device fills it at each dequeue.
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset)
{
    static void* (*next)(void*, size_t, int, int, int, off_t);
    if (!next)
        next = (void* (*)(void*, size_t, int, int, int, off_t))real("mmap");
    if (!isDeviceFd(fd))
        return next(address, length, protection, flags, fd, offset);
    uint32_t index = (uint32_t)((size_t)offset / bufferSpan());
    if ((size_t)offset % bufferSpan() != 0 || index >= bufferCount || length != imageSize() ||
        buffers[index].data) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* data = next(address, length, protection, (flags & ~MAP_FILE) | MAP_ANONYMOUS, -1, 0);
    if (data != MAP_FAILED)
        buffers[index].data = data;
    return data;
}
