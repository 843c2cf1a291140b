// The place heard, as an output's own thread last worked it out, handed to
// the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

struct Heard {
    int64_t at = 0;       // when it was heard, CLOCK_MONOTONIC ns
    double frames = 0;    // the frame heard then, counted from the start's frame
    double given = 0;     // past the last frame given to the device: the place
                          // heard cannot pass it before the next update
    bool known = false;
};

// The output's thread must never wait on the main thread, which may be
// preempted anywhere: a count that is odd while a write is under way, and a
// reader that saw it change reads again. One thread writes at a time.
class HeardExchange {
public:
    void store(const Heard& heard)
    {
        const uint32_t count = writes.load(std::memory_order_relaxed);
        writes.store(count + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        at.store(heard.at, std::memory_order_relaxed);
        frames.store(heard.frames, std::memory_order_relaxed);
        given.store(heard.given, std::memory_order_relaxed);
        known.store(heard.known, std::memory_order_relaxed);
        writes.store(count + 2, std::memory_order_release);
    }

    Heard load() const
    {
        for (;;) {
            const uint32_t before = writes.load(std::memory_order_acquire);
            const Heard heard{at.load(std::memory_order_relaxed), frames.load(std::memory_order_relaxed),
                              given.load(std::memory_order_relaxed), known.load(std::memory_order_relaxed)};
            std::atomic_thread_fence(std::memory_order_acquire);
            if (before % 2 == 0 && writes.load(std::memory_order_relaxed) == before)
                return heard;
        }
    }

private:
    std::atomic<uint32_t> writes{0};
    std::atomic<int64_t> at{0};
    std::atomic<double> frames{0};
    std::atomic<double> given{0};
    std::atomic<bool> known{false};
};

inline int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}
