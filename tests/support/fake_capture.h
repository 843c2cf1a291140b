// A V4L2 capture device that lives inside the process: the requests, buffer
// queue and mappings of a streaming driver, with the answers and faults a
// test chooses. A front end routes the system calls about its device path
// and descriptor here. The descriptor is a real eventfd, readable while a
// filled buffer waits to be dequeued, so real waits work on it.
//
// The device's own system calls (its mappings, closing its descriptor) pass
// through the front end again, which hands them on: they are about no
// descriptor or mapping of the device by then.
#pragma once

#include <linux/videodev2.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr uint32_t fake_max_buffers = 8;

// Calls other than ioctl requests, for faults and call counts.
enum FakeCall : unsigned long { call_open = 1, call_close, call_wait, call_mmap, call_munmap };

// What the device answers; the defaults grant whatever is asked.
struct FakeAnswers {
    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    v4l2_rect defrect = {8, 4, 320, 240};
    uint32_t width = 0, height = 0;  // 0: the requested size
    uint32_t pixelformat = 0;        // 0: the requested format
    int64_t bytesperline = -1;       // -1: two bytes a pixel
    int64_t buffers = -1;            // -1: as many as requested, up to fake_max_buffers
    uint32_t length = 0;             // 0: the format's image size
    uint32_t length_of[fake_max_buffers] = {};  // per buffer, where not 0 over `length`
    int64_t dequeue_index = -1;      // -1: the buffer really dequeued
    uint32_t dequeue_flags = 0;      // added to every dequeued buffer's flags
    int streamon_ms = 0;             // how long VIDIOC_STREAMON takes, as a USB camera's does
};

// How often a call was made, and the fault injected into it.
struct FakeCallRecord {
    unsigned long call;
    int count;
    int err;
    int skip;   // calls that succeed first
    int times;  // failing calls after those; -1: all
};

// Buffer indices, first in first out.
struct FakeQueue {
    uint32_t index[fake_max_buffers] = {};
    uint32_t count = 0;

    bool holds(uint32_t i) const { return std::find(index, index + count, i) != index + count; }
    void push(uint32_t i) { index[count++] = i; }
    uint32_t pop()
    {
        const uint32_t first = index[0];
        std::copy(index + 1, index + count--, index);
        return first;
    }
};

// Plain data only, so that it is set up before any constructor runs: a front
// end's constructor may already fill in answers and faults.
struct FakeCapture {
    FakeAnswers answer;
    FakeCallRecord calls[32] = {};  // room for every kind of call the class makes
    bool cropped = false;
    v4l2_crop crop = {};

    bool streaming = false;
    uint32_t width = 0, height = 0, stride = 0, sizeimage = 0;
    uint32_t granted = 0;
    long delivered = 0;
    uint8_t* memory[fake_max_buffers] = {};  // each buffer's mapping, if mapped
    FakeQueue incoming, done;

    void fail(unsigned long call, int err, int skip = 0, int times = 1);
    // Forgets every answer and fault, keeping what is open and mapped.
    void default_answers();
    int calls_of(unsigned long call) const;
    // Counts the call and tells whether an injected fault makes it fail.
    bool faulted(unsigned long call);
    uint32_t length_of(uint32_t index) const;
    // Hands out the buffer queued longest ago, for its frame to be written
    // into `memory`; returns its index, or -1 when none is queued.
    int deliver();
};

extern FakeCapture fake;
// The device's descriptor while it is open, else -1; other threads of the
// process look at it with every call a front end sees.
extern std::atomic<int> fake_fd;

bool fake_is_descriptor(int fd);
// Sets the descriptor readable while a filled buffer waits, whatever drained
// it: a front end calls it before each wait on the descriptor.
void fake_refresh_readable();
void fake_describe(struct stat* st);
int fake_open(int flags);
int fake_close();
int fake_ioctl(unsigned long request, void* arg);
void* fake_map(size_t length, int prot, int flags, off_t offset);
// The index of the buffer mapped at `address`, or -1.
int fake_mapping_at(const void* address);
int fake_unmap(uint32_t index, size_t length);
