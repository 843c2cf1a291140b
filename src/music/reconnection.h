// What the server outputs do when their sound goes away: the server
// restarted, the sink removed, a stream that nothing plays. The place heard
// runs on by the clock, and the output connects again, soon at first, then
// less often while the server stays away.
#pragma once

#include "heard-exchange.h"
#include "track.h"

#include <algorithm>
#include <cstdint>
#include <limits>

// A stream that has played nothing for this long is taken for lost: a sink
// is handed sound every few tens of milliseconds, and a stall of the whole
// process for half a second must not count.
const int64_t silentLimitNs = 2'000'000'000;

// The place `heard` has run on to `now`, never past what was given.
inline double heardBy(const Heard& heard, int64_t now)
{
    if (!heard.known)
        return 0;
    const double since = double(now - heard.at) * 1e-9 * trackRate;
    return std::max(std::min(heard.frames + since, heard.given), 0.0);
}

// The place heard while no sound is heard: from `frames` at `now` on by the
// clock, with nothing given to hold it back.
inline Heard heardOnTheClock(double frames, int64_t now)
{
    return {now, frames, std::numeric_limits<double>::infinity(), true};
}

// When to try again. A try costs a connect() on a local socket, and each
// wait is silence, so the waits stay short: a quarter of a second, then
// half a second.
class RetryDelay {
public:
    int64_t next()
    {
        const int64_t wait = waitNs;
        waitNs = std::min(waitNs * 2, longestNs);
        return wait;
    }
    void reset() { waitNs = firstNs; }

private:
    static constexpr int64_t firstNs = 250'000'000;
    static constexpr int64_t longestNs = 500'000'000;
    int64_t waitNs = firstNs;
};
