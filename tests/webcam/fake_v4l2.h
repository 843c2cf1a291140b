// An in-process V4L2 capture driver behind the path fake_path. The test
// binary is linked with --wrap for the system calls of the capture class;
// calls about other paths and descriptors go to the real system.
#pragma once

#include <linux/videodev2.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

extern const char fake_path[];
// The driver's descriptor while it is open, else -1.
extern int fake_fd;

// Calls other than ioctl requests, for faults and call counts.
enum FakeCall : unsigned long { call_open = 1, call_close, call_wait, call_mmap, call_munmap };

// What the driver answers; the defaults grant whatever is asked.
struct FakeAnswers {
    uint32_t capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    v4l2_rect defrect = {8, 4, 320, 240};
    uint32_t width = 0, height = 0;  // 0: the requested size
    uint32_t pixelformat = V4L2_PIX_FMT_YUYV;
    int64_t bytesperline = -1;       // -1: two bytes a pixel
    uint32_t buffers = 4;
    uint32_t length = 0;             // 0: the format's image size
    std::map<uint32_t, uint32_t> length_of;  // per buffer index, over `length`
    int64_t dequeue_index = -1;      // -1: the buffer really dequeued
    size_t failing_allocation = 0;   // malloc or calloc of this many bytes fails
};

struct FakeFault {
    int err;
    int skip;   // calls that succeed first
    int times;  // failing calls after those; -1: all
};

struct FakeCamera {
    FakeAnswers answer;
    std::map<unsigned long, FakeFault> faults;

    // What the class asked for.
    std::map<unsigned long, int> calls;
    int open_flags = 0;
    v4l2_format format = {};
    bool cropped = false;
    v4l2_crop crop = {};
    v4l2_requestbuffers request = {};
    int map_prot = 0, map_flags = 0;
    std::vector<uint32_t> queued_order;
    std::vector<timespec> wait_limits;

    // Driver state.
    bool streaming = false;
    uint32_t width = 0, height = 0, stride = 0, sizeimage = 0;
    uint32_t granted = 0;
    std::map<uint32_t, uint8_t*> mapped;  // buffer index to its mapping
    std::deque<uint32_t> incoming, done;

    void fail(unsigned long call, int err, int skip = 0, int times = 1) { faults[call] = {err, skip, times}; }
    uint32_t length_of(uint32_t index) const;
    // Fills the buffer queued longest ago with `frame` and hands it out; returns its index.
    uint32_t deliver(const std::vector<uint8_t>& frame);
};

extern FakeCamera fake;

// Allocations made with malloc or calloc and not yet freed.
size_t fake_live_allocations();
// Forgets every answer and fault, keeping what is open and mapped.
void fake_default_answers();
// Gives back what the class left behind and starts a fresh driver.
void fake_reset();
