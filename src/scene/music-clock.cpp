#include "music-clock.h"
#include "output-latency.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_mixer.h>

#include <algorithm>
#include <atomic>

namespace {

// Shared between the main thread, which asks for a start, and the audio
// thread, which stamps it: `stamped` catches up with `expected` once the
// tick of the buffer that holds the start is stored.
struct StartStamp {
    std::atomic<unsigned> expected{0};
    std::atomic<unsigned> stamped{0};
    std::atomic<uint32_t> mixedAt{0};
    // How far into its first buffer the expected start is.
    std::atomic<int> intoBufferMs{0};
};

StartStamp& startStamp()
{
    static StartStamp stamp;
    return stamp;
}

// The mixer's size of a buffer, as the scene opens it.
const int bufferFrames = 4096;

// How long the sound server holds a buffer, for the driver the device was
// opened on; it does not change while the device is open.
int serverHoldMs = 0;

// After Mix_SetMusicPosition the track's new place is heard only this far
// into the first buffer the mixer fills: read back from the sink's monitor,
// that buffer starts with some 30 ms of sound from before the seek. The
// figure is the median of three preview runs of bench/sync on PipeWire
// before it was allowed for (28 to 46 ms). A track started from its
// beginning starts with its buffer.
const int seekIntoBufferMs = 35;

// Runs on the audio thread with the device locked, after the mixer has
// filled `stream`; the mixer's calls that start, seek, pause or resume the
// track take the same lock, so the track's state cannot change under it.
void stampBuffer(void* data, Uint8*, int)
{
    auto& stamp = *static_cast<StartStamp*>(data);
    const unsigned expected = stamp.expected.load(std::memory_order_acquire);
    if (expected == stamp.stamped.load(std::memory_order_relaxed))
        return;
    if (!Mix_PlayingMusic() || Mix_PausedMusic())
        return;
    stamp.mixedAt.store(SDL_GetTicks(), std::memory_order_relaxed);
    stamp.stamped.store(expected, std::memory_order_release);
}

}  // namespace

void watchMusicStarts()
{
    int rate = 0;
    Mix_QuerySpec(&rate, nullptr, nullptr);
    const char* driver = SDL_GetCurrentAudioDriver();
    serverHoldMs = outputLatencyMilliseconds(driver ? driver : "", bufferFrames, rate);
    Mix_SetPostMix(stampBuffer, &startStamp());
}

static void expectStart(int intoBufferMs)
{
    startStamp().intoBufferMs.store(intoBufferMs, std::memory_order_relaxed);
    startStamp().expected.fetch_add(1, std::memory_order_release);
}

void expectMusicStart()
{
    expectStart(0);
}

bool musicHeardAt(uint32_t& ticks)
{
    StartStamp& stamp = startStamp();
    if (stamp.stamped.load(std::memory_order_acquire) != stamp.expected.load(std::memory_order_relaxed))
        return false;
    ticks = stamp.mixedAt.load(std::memory_order_relaxed) +
            static_cast<uint32_t>(stamp.intoBufferMs.load(std::memory_order_relaxed) + serverHoldMs);
    return true;
}

float soundDelay(uint32_t from, uint32_t now)
{
    const auto since = static_cast<int32_t>(now - from);
    uint32_t heard = 0;
    const int32_t delay = musicHeardAt(heard) ? static_cast<int32_t>(heard - from) : since;
    return static_cast<float>(std::max(0, std::min(delay, since))) * 0.001f;
}

// Paused across the seek, the track cannot be mixed from its old place after
// the start is expected.
bool playMusicFrom(double seconds)
{
    const bool paused = Mix_PausedMusic() != 0;
    Mix_PauseMusic();
    expectStart(seekIntoBufferMs);
    const bool sought = Mix_SetMusicPosition(seconds) == 0;
    if (!paused)
        Mix_ResumeMusic();
    return sought;
}

// Resumed, the track plays from where the last start or seek left it.
void resumeMusic()
{
    expectStart(startStamp().intoBufferMs.load(std::memory_order_relaxed));
    Mix_ResumeMusic();
}
