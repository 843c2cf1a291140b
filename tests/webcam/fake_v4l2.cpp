#include "fake_v4l2.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

extern "C" {
int __real_stat(const char* path, struct stat* st);
int __real_open(const char* path, int flags, ...);
int __real_close(int fd);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_ppoll(pollfd* fds, nfds_t nfds, const timespec* timeout, const sigset_t* sigmask);
void* __real_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int __real_munmap(void* addr, size_t length);
void* __real_malloc(size_t size);
void* __real_calloc(size_t n, size_t size);
void __real_free(void* p);
}

const char fake_path[] = "/dev/fake-video0";
int fake_fd = -1;
FakeCamera fake;

static const off_t buffer_spacing = 1 << 24;

// Plain static storage: allocations can happen before any constructor runs.
static void* live_allocation[4096];
static size_t allocations_watched;

size_t fake_live_allocations()
{
    size_t n = 0;
    for (size_t i = 0; i < allocations_watched; ++i)
        n += live_allocation[i] != nullptr;
    return n;
}

static void watch(void* p)
{
    if (!p)
        return;
    for (size_t i = 0; i < allocations_watched; ++i) {
        if (!live_allocation[i]) {
            live_allocation[i] = p;
            return;
        }
    }
    if (allocations_watched < sizeof live_allocation / sizeof *live_allocation)
        live_allocation[allocations_watched++] = p;
}

static void unwatch(void* p)
{
    for (size_t i = 0; p && i < allocations_watched; ++i)
        if (live_allocation[i] == p)
            live_allocation[i] = nullptr;
}

static bool allocation_fails(size_t size)
{
    return size != 0 && fake_fd != -1 && size == fake.answer.failing_allocation;
}

// Counts the call and tells whether an injected fault makes it fail.
static bool faulted(unsigned long call)
{
    ++fake.calls[call];
    auto it = fake.faults.find(call);
    if (it == fake.faults.end())
        return false;
    FakeFault& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.times == 0)
        return false;
    if (f.times > 0)
        --f.times;
    errno = f.err;
    return true;
}

static int failure(int err)
{
    errno = err;
    return -1;
}

uint32_t FakeCamera::length_of(uint32_t index) const
{
    auto it = answer.length_of.find(index);
    if (it != answer.length_of.end())
        return it->second;
    return answer.length ? answer.length : sizeimage;
}

uint32_t FakeCamera::deliver(const std::vector<uint8_t>& frame)
{
    const uint32_t index = incoming.front();
    incoming.pop_front();
    std::memcpy(mapped.at(index), frame.data(), std::min<size_t>(frame.size(), length_of(index)));
    done.push_back(index);
    return index;
}

static void drop_queues()
{
    fake.streaming = false;
    fake.incoming.clear();
    fake.done.clear();
}

static int set_format(v4l2_format* f)
{
    fake.format = *f;
    v4l2_pix_format& pix = f->fmt.pix;
    fake.width = fake.answer.width ? fake.answer.width : pix.width;
    fake.height = fake.answer.height ? fake.answer.height : pix.height;
    fake.stride = fake.answer.bytesperline < 0 ? 2 * fake.width : uint32_t(fake.answer.bytesperline);
    fake.sizeimage = std::max(fake.stride, 2 * fake.width) * fake.height;
    pix.width = fake.width;
    pix.height = fake.height;
    pix.pixelformat = fake.answer.pixelformat;
    pix.bytesperline = fake.stride;
    pix.sizeimage = fake.sizeimage;
    return 0;
}

static int request_buffers(v4l2_requestbuffers* req)
{
    fake.request = *req;
    if (req->memory != V4L2_MEMORY_MMAP || req->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return failure(EINVAL);
    fake.granted = req->count = fake.answer.buffers;
    return 0;
}

static int query_buffer(v4l2_buffer* buf)
{
    if (buf->index >= fake.granted)
        return failure(EINVAL);
    buf->length = fake.length_of(buf->index);
    buf->m.offset = buf->index * buffer_spacing;
    return 0;
}

static int queue_buffer(const v4l2_buffer* buf)
{
    if (buf->index >= fake.granted || buf->memory != V4L2_MEMORY_MMAP)
        return failure(EINVAL);
    for (uint32_t i : fake.incoming)
        if (i == buf->index)
            return failure(EINVAL);
    fake.incoming.push_back(buf->index);
    fake.queued_order.push_back(buf->index);
    return 0;
}

static int dequeue_buffer(v4l2_buffer* buf)
{
    if (fake.done.empty())
        return failure(EAGAIN);
    const uint32_t index = fake.done.front();
    fake.done.pop_front();
    buf->index = fake.answer.dequeue_index < 0 ? index : uint32_t(fake.answer.dequeue_index);
    buf->bytesused = fake.sizeimage;
    buf->length = fake.length_of(index);
    buf->m.offset = index * buffer_spacing;
    return 0;
}

static int driver_ioctl(unsigned long request, void* arg)
{
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(arg);
        std::memset(cap, 0, sizeof *cap);
        std::strcpy(reinterpret_cast<char*>(cap->driver), "fake");
        cap->capabilities = fake.answer.capabilities | V4L2_CAP_DEVICE_CAPS;
        cap->device_caps = fake.answer.capabilities;
        return 0;
    }
    case VIDIOC_CROPCAP: {
        auto* cropcap = static_cast<v4l2_cropcap*>(arg);
        cropcap->bounds = cropcap->defrect = fake.answer.defrect;
        return 0;
    }
    case VIDIOC_S_CROP:
        fake.cropped = true;
        fake.crop = *static_cast<v4l2_crop*>(arg);
        return 0;
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
        fake.streaming = true;
        return 0;
    case VIDIOC_STREAMOFF:
        drop_queues();
        return 0;
    default:
        return failure(ENOTTY);
    }
}

void fake_default_answers()
{
    fake.answer = FakeAnswers();
    fake.faults.clear();
}

void fake_reset()
{
    for (const auto& [index, data] : fake.mapped)
        __real_munmap(data, fake.length_of(index));
    if (fake_fd != -1)
        __real_close(fake_fd);
    fake_fd = -1;
    fake = FakeCamera();
}

extern "C" {

int __wrap_stat(const char* path, struct stat* st)
{
    if (std::strcmp(path, fake_path) != 0)
        return __real_stat(path, st);
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = makedev(81, 99);
    return 0;
}

int __wrap_open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    va_end(args);
    if (std::strcmp(path, fake_path) != 0)
        return __real_open(path, flags, mode);
    if (faulted(call_open))
        return -1;
    // One open at a time, as capture drivers that stream allow.
    if (fake_fd != -1)
        return failure(EBUSY);
    fake.open_flags = flags;
    fake_fd = __real_open("/dev/null", O_RDWR);
    return fake_fd;
}

int __wrap_close(int fd)
{
    if (fd == -1 || fd != fake_fd)
        return __real_close(fd);
    if (faulted(call_close))
        return -1;
    drop_queues();
    fake_fd = -1;
    return __real_close(fd);
}

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (fd == -1 || fd != fake_fd)
        return __real_ioctl(fd, request, arg);
    if (faulted(request))
        return -1;
    return driver_ioctl(request, arg);
}

int __wrap_ppoll(pollfd* fds, nfds_t nfds, const timespec* timeout, const sigset_t* sigmask)
{
    if (fake_fd == -1 || nfds != 1 || fds[0].fd != fake_fd || !timeout)
        return __real_ppoll(fds, nfds, timeout, sigmask);
    fake.wait_limits.push_back(*timeout);
    if (faulted(call_wait))
        return -1;
    fds[0].revents = fake.done.empty() ? 0 : static_cast<short>(fds[0].events & POLLIN);
    return fake.done.empty() ? 0 : 1;
}

void* __wrap_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    if (fd == -1 || fd != fake_fd)
        return __real_mmap(addr, length, prot, flags, fd, offset);
    if (faulted(call_mmap))
        return MAP_FAILED;
    const uint32_t index = uint32_t(offset / buffer_spacing);
    if (offset % buffer_spacing || index >= fake.granted || length != fake.length_of(index) || fake.mapped.count(index)) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    fake.map_prot = prot;
    fake.map_flags = flags;
    void* data = __real_mmap(nullptr, length, prot, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (data != MAP_FAILED)
        fake.mapped[index] = static_cast<uint8_t*>(data);
    return data;
}

int __wrap_munmap(void* addr, size_t length)
{
    // The class unmaps its buffers before it closes the driver.
    if (fake_fd == -1)
        return __real_munmap(addr, length);
    for (auto it = fake.mapped.begin(); it != fake.mapped.end(); ++it) {
        if (it->second != addr)
            continue;
        if (faulted(call_munmap))
            return -1;
        if (length != fake.length_of(it->first))
            return failure(EINVAL);
        fake.mapped.erase(it);
        return __real_munmap(addr, length);
    }
    return __real_munmap(addr, length);
}

void* __wrap_malloc(size_t size)
{
    if (allocation_fails(size)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __real_malloc(size);
    watch(p);
    return p;
}

void* __wrap_calloc(size_t n, size_t size)
{
    if (allocation_fails(n * size)) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __real_calloc(n, size);
    watch(p);
    return p;
}

void __wrap_free(void* p)
{
    unwatch(p);
    __real_free(p);
}

}  // extern "C"
