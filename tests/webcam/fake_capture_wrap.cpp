#include "fake_capture_wrap.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
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
timespec fake_wait_limit;
size_t fake_failing_allocation;

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
    return size != 0 && fake_fd != -1 && size == fake_failing_allocation;
}

void fake_reset()
{
    for (uint32_t i = 0; i < fake_max_buffers; ++i)
        if (fake.memory[i])
            __real_munmap(fake.memory[i], fake.length_of(i));
    if (fake_fd != -1)
        __real_close(fake_fd.exchange(-1));
    fake = FakeCapture();
    fake_wait_limit = {};
    fake_failing_allocation = 0;
}

extern "C" {

int __wrap_stat(const char* path, struct stat* st)
{
    if (std::strcmp(path, fake_path) != 0)
        return __real_stat(path, st);
    fake_describe(st);
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
    return fake_open(flags);
}

int __wrap_close(int fd)
{
    return fake_is_descriptor(fd) ? fake_close() : __real_close(fd);
}

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return fake_is_descriptor(fd) ? fake_ioctl(request, arg) : __real_ioctl(fd, request, arg);
}

int __wrap_ppoll(pollfd* fds, nfds_t nfds, const timespec* timeout, const sigset_t* sigmask)
{
    if (nfds == 1 && timeout && fake_is_descriptor(fds[0].fd)) {
        fake_wait_limit = *timeout;
        if (fake.faulted(call_wait))
            return -1;
    }
    return __real_ppoll(fds, nfds, timeout, sigmask);
}

void* __wrap_mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    return fake_is_descriptor(fd) ? fake_map(length, prot, flags, offset)
                                  : __real_mmap(addr, length, prot, flags, fd, offset);
}

int __wrap_munmap(void* addr, size_t length)
{
    const int index = fake_mapping_at(addr);
    return index < 0 ? __real_munmap(addr, length) : fake_unmap(uint32_t(index), length);
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
