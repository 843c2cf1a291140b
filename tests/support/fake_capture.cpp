#include "fake_capture.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/sysmacros.h>
#include <unistd.h>

FakeCapture fake;
std::atomic<int> fake_fd{-1};

// Room for the largest frame a test makes between two buffers' offsets.
static const off_t buffer_spacing = off_t(1) << 24;

static int failure(int err)
{
    errno = err;
    return -1;
}

static FakeCallRecord* find_record(unsigned long call)
{
    for (FakeCallRecord& r : fake.calls)
        if (r.call == call || r.call == 0) {
            r.call = call;
            return &r;
        }
    std::abort();  // more kinds of call than the table holds
}

void FakeCapture::fail(unsigned long call, int err, int skip, int times)
{
    FakeCallRecord* r = find_record(call);
    r->err = err;
    r->skip = skip;
    r->times = times;
}

void FakeCapture::default_answers()
{
    answer = FakeAnswers();
    for (FakeCallRecord& r : calls)
        r.times = 0;
}

int FakeCapture::calls_of(unsigned long call) const
{
    for (const FakeCallRecord& r : calls)
        if (r.call == call)
            return r.count;
    return 0;
}

bool FakeCapture::faulted(unsigned long call)
{
    FakeCallRecord* r = find_record(call);
    ++r->count;
    if (r->times == 0)
        return false;
    if (r->skip > 0) {
        --r->skip;
        return false;
    }
    if (r->times > 0)
        --r->times;
    errno = r->err;
    return true;
}

uint32_t FakeCapture::length_of(uint32_t index) const
{
    if (answer.length_of[index])
        return answer.length_of[index];
    return answer.length ? answer.length : sizeimage;
}

// The eventfd's counter mirrors whether a dequeue would succeed. A child the
// process forks shares the counter and may drain it (a library's child that
// reads a descriptor before its exec), so it is set afresh each time.
void fake_refresh_readable()
{
    uint64_t count = 0;
    pollfd pending = {fake_fd, POLLIN, 0};
    const bool drained = poll(&pending, 1, 0) != 1 || read(fake_fd, &count, sizeof count) == sizeof count;
    count = 1;
    // A drained eventfd always takes a write of 1.
    if (drained && fake.done.count > 0 && write(fake_fd, &count, sizeof count) != sizeof count)
        std::abort();
}

int FakeCapture::deliver()
{
    if (incoming.count == 0)
        return -1;
    const uint32_t index = incoming.pop();
    done.push(index);
    ++delivered;
    fake_refresh_readable();
    return int(index);
}

static void drop_queues()
{
    fake.streaming = false;
    fake.incoming.count = fake.done.count = 0;
    fake_refresh_readable();
}

static int query_capabilities(v4l2_capability* cap)
{
    std::memset(cap, 0, sizeof *cap);
    std::strcpy(reinterpret_cast<char*>(cap->driver), "fake");
    std::strcpy(reinterpret_cast<char*>(cap->card), "Fake Camera");
    cap->capabilities = fake.answer.capabilities | V4L2_CAP_DEVICE_CAPS;
    cap->device_caps = fake.answer.capabilities;
    return 0;
}

// One format: the one the answers force, else YUYV.
static int enumerate_formats(v4l2_fmtdesc* format)
{
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || format->index > 0)
        return failure(EINVAL);
    format->pixelformat = fake.answer.pixelformat ? fake.answer.pixelformat : V4L2_PIX_FMT_YUYV;
    return 0;
}

static int crop_capabilities(v4l2_cropcap* cropcap)
{
    if (cropcap->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return failure(EINVAL);
    cropcap->bounds = cropcap->defrect = fake.answer.defrect;
    return 0;
}

static int set_crop(const v4l2_crop* crop)
{
    if (crop->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return failure(EINVAL);
    fake.cropped = true;
    fake.crop = *crop;
    return 0;
}

static int set_format(v4l2_format* f)
{
    if (f->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return failure(EINVAL);
    if (fake.granted > 0)
        return failure(EBUSY);
    v4l2_pix_format& pix = f->fmt.pix;
    fake.width = fake.answer.width ? fake.answer.width : pix.width;
    fake.height = fake.answer.height ? fake.answer.height : pix.height;
    fake.stride = fake.answer.bytesperline < 0 ? 2 * fake.width : uint32_t(fake.answer.bytesperline);
    fake.sizeimage = std::max(fake.stride, 2 * fake.width) * fake.height;
    pix.width = fake.width;
    pix.height = fake.height;
    if (fake.answer.pixelformat)
        pix.pixelformat = fake.answer.pixelformat;
    pix.bytesperline = fake.stride;
    pix.sizeimage = fake.sizeimage;
    return 0;
}

static int request_buffers(v4l2_requestbuffers* req)
{
    if (req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || req->memory != V4L2_MEMORY_MMAP)
        return failure(EINVAL);
    if (fake.streaming)
        return failure(EBUSY);
    const int64_t granted = fake.answer.buffers < 0 ? req->count : fake.answer.buffers;
    fake.granted = req->count = uint32_t(std::min<int64_t>(granted, fake_max_buffers));
    return 0;
}

static bool known_buffer(const v4l2_buffer* buf)
{
    return buf->type == V4L2_BUF_TYPE_VIDEO_CAPTURE && buf->memory == V4L2_MEMORY_MMAP && buf->index < fake.granted;
}

static void describe_buffer(v4l2_buffer* buf, uint32_t index)
{
    buf->length = fake.length_of(index);
    buf->m.offset = uint32_t(index * buffer_spacing);
}

static int query_buffer(v4l2_buffer* buf)
{
    if (!known_buffer(buf))
        return failure(EINVAL);
    describe_buffer(buf, buf->index);
    return 0;
}

static int queue_buffer(const v4l2_buffer* buf)
{
    if (!known_buffer(buf) || fake.incoming.holds(buf->index) || fake.done.holds(buf->index))
        return failure(EINVAL);
    fake.incoming.push(buf->index);
    return 0;
}

static int dequeue_buffer(v4l2_buffer* buf)
{
    if (buf->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buf->memory != V4L2_MEMORY_MMAP)
        return failure(EINVAL);
    if (fake.done.count == 0)
        return failure(EAGAIN);
    const uint32_t index = fake.done.pop();
    fake_refresh_readable();
    buf->index = fake.answer.dequeue_index < 0 ? index : uint32_t(fake.answer.dequeue_index);
    describe_buffer(buf, index);
    buf->flags |= fake.answer.dequeue_flags;
    buf->bytesused = fake.sizeimage;
    return 0;
}

static int switch_streaming(const int* type, bool on)
{
    if (*type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return failure(EINVAL);
    if (on) {
        const timespec slow = {fake.answer.streamon_ms / 1000, fake.answer.streamon_ms % 1000 * 1000000L};
        nanosleep(&slow, nullptr);
        fake.streaming = true;
    }
    else
        drop_queues();
    return 0;
}

int fake_ioctl(unsigned long request, void* arg)
{
    if (fake.faulted(request))
        return -1;
    switch (request) {
    case VIDIOC_QUERYCAP:
        return query_capabilities(static_cast<v4l2_capability*>(arg));
    case VIDIOC_ENUM_FMT:
        return enumerate_formats(static_cast<v4l2_fmtdesc*>(arg));
    case VIDIOC_CROPCAP:
        return crop_capabilities(static_cast<v4l2_cropcap*>(arg));
    case VIDIOC_S_CROP:
        return set_crop(static_cast<v4l2_crop*>(arg));
    case VIDIOC_S_FMT:
        return set_format(static_cast<v4l2_format*>(arg));
    case VIDIOC_REQBUFS:
        return request_buffers(static_cast<v4l2_requestbuffers*>(arg));
    case VIDIOC_QUERYBUF:
        return query_buffer(static_cast<v4l2_buffer*>(arg));
    case VIDIOC_QBUF:
        return queue_buffer(static_cast<v4l2_buffer*>(arg));
    case VIDIOC_DQBUF:
        return dequeue_buffer(static_cast<v4l2_buffer*>(arg));
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        return switch_streaming(static_cast<int*>(arg), request == VIDIOC_STREAMON);
    default:
        return failure(ENOTTY);
    }
}

bool fake_is_descriptor(int fd)
{
    return fd != -1 && fd == fake_fd;
}

void fake_describe(struct stat* st)
{
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, 99);
    st->st_nlink = 1;
}

// The descriptor keeps the open's O_NONBLOCK and O_CLOEXEC, which eventfd
// shares, so a test sees whether the caller asked for them.
int fake_open(int flags)
{
    if (fake.faulted(call_open))
        return -1;
    // One open at a time, as capture drivers that stream allow.
    if (fake_fd != -1)
        return failure(EBUSY);
    const int fd = eventfd(0, flags & (O_NONBLOCK | O_CLOEXEC));
    fake_fd = fd;
    return fd;
}

int fake_close()
{
    if (fake.faulted(call_close))
        return -1;
    // The buffers go with the descriptor that asked for them; mappings stay
    // until they are unmapped.
    drop_queues();
    fake.granted = 0;
    const int fd = fake_fd.exchange(-1);
    return close(fd);
}

// Drivers hand out shared mappings only, readable for capture.
void* fake_map(size_t length, int prot, int flags, off_t offset)
{
    if (fake.faulted(call_mmap))
        return MAP_FAILED;
    const uint32_t index = uint32_t(offset / buffer_spacing);
    if (offset % buffer_spacing || index >= fake.granted || length != fake.length_of(index) || fake.memory[index] ||
        !(flags & MAP_SHARED) || !(prot & PROT_READ)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    void* data = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (data != MAP_FAILED)
        fake.memory[index] = static_cast<uint8_t*>(data);
    return data;
}

int fake_mapping_at(const void* address)
{
    for (uint32_t i = 0; i < fake_max_buffers; ++i)
        if (fake.memory[i] && fake.memory[i] == address)
            return int(i);
    return -1;
}

int fake_unmap(uint32_t index, size_t length)
{
    if (fake.faulted(call_munmap))
        return -1;
    if (length != fake.length_of(index))
        return failure(EINVAL);
    void* data = fake.memory[index];
    fake.memory[index] = nullptr;
    return munmap(data, length);
}
