#include "frame-seen.h"
#include "music-output.h"

#include "presentation-feedback.h"

#include <glad/gl.h>
#include <SDL2/SDL.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ctime>

namespace {

// A median over the last few frames: one frame that a busy machine held up
// moves it not at all, a part of the track that draws slower within frames.
const size_t keptDelays = 9;

struct SeenDelays {
    std::array<int64_t, keptDelays> ns{};
    size_t count = 0;
    size_t next = 0;
};

SeenDelays delays;
// Where the compositor says when each frame was presented.
bool presentationWatched = false;
int64_t frameBegunNs = 0;
// The first frame waits while the driver compiles the shaders it draws with
// (400 ms on llvmpipe), which tells nothing of the frames after it.
bool firstFrameSeen = false;

int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void noteSeen(int64_t begunNs, int64_t seenNs)
{
    if (!firstFrameSeen) {
        firstFrameSeen = true;
        return;
    }
    delays.ns[delays.next] = seenNs - begunNs;
    delays.next = (delays.next + 1) % keptDelays;
    delays.count = std::min(delays.count + 1, keptDelays);
}

void presented(void* frame, int64_t ns)
{
    auto* begunNs = static_cast<int64_t*>(frame);
    // A frame that was never shown (the window hidden, or replaced before the
    // refresh) tells nothing of the delay.
    if (ns != 0)
        noteSeen(*begunNs, ns);
    delete begunNs;
}

}  // namespace

void watchFramesSeen(SDL_Window* window)
{
    presentationWatched = watchPresented(window) != 0;
}

void beginFrame()
{
    frameBegunNs = monotonicNs();
}

double frameSeenDelay()
{
    if (delays.count == 0)
        return 0;
    std::array<int64_t, keptDelays> sorted = delays.ns;
    auto middle = sorted.begin() + (delays.count - 1) / 2;
    std::nth_element(sorted.begin(), middle, sorted.begin() + delays.count);
    return std::max<int64_t>(*middle, 0) * 1e-9;
}

double trackSecondsSeen()
{
    const double heard = musicHeardSeconds();
    if (musicPaused() || !musicReachesAnyone())
        return heard;
    return std::min(heard + frameSeenDelay(), musicSeconds());
}

void swapFrame(SDL_Window* window)
{
    // Asked before the swap's commit, which it is about.
    if (presentationWatched)
        askPresented(new int64_t(frameBegunNs));
    SDL_GL_SwapWindow(window);
    const GLsync swapped = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    glClientWaitSync(swapped, GL_SYNC_FLUSH_COMMANDS_BIT, 1000000000);
    glDeleteSync(swapped);
    if (presentationWatched)
        readPresented(presented);
    else
        noteSeen(frameBegunNs, monotonicNs());
}
