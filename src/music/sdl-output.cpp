// The track through SDL's audio device, for drivers that nobody hears and
// for a machine without a sound server. SDL tells nothing of when a buffer is
// heard, so the track counts as heard from when SDL takes its first buffer.
#include "output-backend.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

struct SdlOutput {
    SDL_AudioDeviceID device = 0;
    // Under the device's lock: SDL holds it while it asks for a buffer.
    const Track* track = nullptr;
    size_t next = 0;
    // Asked for by a start that plays, taken on the audio thread.
    uint32_t startTicks = 0;
    std::atomic<bool> stampWanted{false};
    std::atomic<bool> stamped{false};
    std::atomic<uint32_t> stampTicks{0};
};

SdlOutput output;

// Silence until the track is started.
void fillBuffer(void*, Uint8* stream, int length)
{
    const size_t frames = static_cast<size_t>(length) / (trackChannels * sizeof(int16_t));
    if (!output.track) {
        std::memset(stream, 0, static_cast<size_t>(length));
        return;
    }
    copyFrames(*output.track, output.next, frames, stream);
    output.next += frames;
    if (output.stampWanted.exchange(false)) {
        output.stampTicks.store(SDL_GetTicks());
        output.stamped.store(true, std::memory_order_release);
    }
}

void start(const Track& track, size_t from, bool paused)
{
    SDL_LockAudioDevice(output.device);
    output.track = &track;
    output.next = from;
    output.startTicks = SDL_GetTicks();
    output.stamped.store(false);
    output.stampWanted.store(!paused);
    SDL_UnlockAudioDevice(output.device);
    SDL_PauseAudioDevice(output.device, paused ? 1 : 0);
}

// Counted from the later of the start and SDL taking its first buffer: a
// buffer already on its way when the track was started again is not it.
double framesHeard()
{
    if (!output.stamped.load(std::memory_order_acquire))
        return 0;
    const uint32_t stamp = output.stampTicks.load();
    const uint32_t from = static_cast<int32_t>(stamp - output.startTicks) > 0 ? stamp : output.startTicks;
    const auto since = static_cast<int32_t>(SDL_GetTicks() - from);
    return static_cast<double>(std::max(since, 0)) * trackRate / 1000.0;
}

}  // namespace

bool openSdlOutput(OutputBackend& backend)
{
    SDL_AudioSpec wanted{};
    wanted.freq = trackRate;
    wanted.format = AUDIO_S16LSB;
    wanted.channels = trackChannels;
    wanted.samples = 4096;
    wanted.callback = fillBuffer;
    output.device = SDL_OpenAudioDevice(nullptr, 0, &wanted, nullptr, 0);
    if (output.device == 0)
        return false;
    backend = {start, framesHeard};
    return true;
}
