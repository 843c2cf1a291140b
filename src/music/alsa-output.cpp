// The track through alsa-lib's "default" device, where no sound server
// answers. A thread of its own keeps the device's buffer full and, after
// each write, asks the device which frame it is playing: the frames written
// less the delay it reports, at the time stamp of that report. The main
// thread runs that on by the clock.
#include "heard-exchange.h"
#include "output-backend.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

namespace {

// What the main thread last asked the device's thread to play.
struct Request {
    const Track* track = nullptr;
    size_t from = 0;
    bool paused = true;
    uint64_t count = 0;  // of starts asked for
};

struct AlsaOutput {
    snd_pcm_t* pcm = nullptr;
    snd_pcm_uframes_t periodFrames = 0;
    int periodMs = 0;
    // The main thread writes the request under the lock and wakes the
    // device's thread; the place heard comes back without it.
    std::mutex lock;
    std::condition_variable asked;
    Request request;
    uint64_t startsAsked = 0;          // the main thread's own copy
    std::atomic<uint64_t> startsTaken{0};
    HeardExchange heard;
    std::atomic<bool> lost{false};
};

// Never freed: its thread runs until the process ends.
AlsaOutput* alsa = nullptr;

// Short enough that a seek is heard soon and the thread wakes a few times a
// buffer, long enough to ride out a frame that takes long.
const unsigned bufferUs = 100000;

// The device's thread's own: the start it plays.
struct Playing {
    Request request;
    size_t written = 0;  // frames, from the start's frame
    double heard = 0;    // the frame last heard, from the start's frame
};

int64_t nanoseconds(const snd_htimestamp_t& stamp)
{
    return int64_t(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
}

// What is heard now: the frames written less those the device holds before
// it, at the moment it worked that out. Until it plays, nothing is known.
void takeTiming(AlsaOutput& output, Playing& playing)
{
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    if (snd_pcm_status(output.pcm, status) < 0 || snd_pcm_status_get_state(status) != SND_PCM_STATE_RUNNING)
        return;
    snd_htimestamp_t stamp{};
    snd_pcm_status_get_htstamp(status, &stamp);
    const int64_t at = stamp.tv_sec || stamp.tv_nsec ? nanoseconds(stamp) : monotonicNs();
    playing.heard = std::max(double(playing.written) - double(snd_pcm_status_get_delay(status)), 0.0);
    output.heard.store({at, playing.heard, double(playing.written), true});
}

// An underrun has played all that was written; a suspend drops what the
// buffer held, which is written again. Anything else (a device unplugged,
// its driver unloaded) ends the output.
bool recover(AlsaOutput& output, Playing& playing, int error)
{
    if (error == -EINTR || error == -EAGAIN)
        return true;
    if (error != -EPIPE && error != -ESTRPIPE)
        return false;
    if (error == -ESTRPIPE)
        playing.written = size_t(playing.heard);
    return snd_pcm_prepare(output.pcm) == 0;
}

// Fills what the device has room for; the device starts once its buffer is
// full. Past the track it plays silence, so that its place runs on to the
// track's end.
int fill(AlsaOutput& output, Playing& playing, std::vector<int16_t>& buffer)
{
    const snd_pcm_sframes_t room = snd_pcm_avail_update(output.pcm);
    if (room <= 0)
        return int(room);
    const auto frames = static_cast<size_t>(room);
    buffer.resize(frames * trackChannels);
    copyFrames(*playing.request.track, playing.request.from + playing.written, frames, buffer.data());
    const snd_pcm_sframes_t taken = snd_pcm_writei(output.pcm, buffer.data(), frames);
    if (taken < 0)
        return int(taken);
    playing.written += size_t(taken);
    return 0;
}

// The device's thread takes a start only here, so that the main thread never
// waits on the device.
bool takeRequest(AlsaOutput& output, Playing& playing, bool wait)
{
    std::unique_lock<std::mutex> lock(output.lock);
    if (wait)
        output.asked.wait(lock, [&] { return output.request.count != playing.request.count; });
    if (output.request.count == playing.request.count)
        return false;
    playing = Playing{output.request};
    output.heard.store({monotonicNs(), 0, 0, false});
    output.startsTaken.store(playing.request.count, std::memory_order_release);
    return true;
}

void reportLost(AlsaOutput& output, Playing& playing, int error)
{
    std::fprintf(stderr, "the sound device is gone (%s); the pictures run on by the clock\n", snd_strerror(error));
    std::lock_guard<std::mutex> lock(output.lock);
    // A start asked for but not yet taken runs from its own frame.
    if (output.request.count != playing.request.count)
        output.heard.store({monotonicNs(), 0, 0, true});
    else
        output.heard.store({monotonicNs(), playing.heard, playing.heard, true});
    output.lost.store(true, std::memory_order_release);
}

// Where the process may (as root, or with an rtprio limit), the thread runs
// before the pictures: a machine busy drawing would otherwise let the
// device's buffer run dry.
void preferThisThread()
{
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
}

void play(AlsaOutput& output)
{
    preferThisThread();
    Playing playing;
    std::vector<int16_t> buffer;
    for (;;) {
        if (takeRequest(output, playing, playing.request.paused)) {
            snd_pcm_drop(output.pcm);
            snd_pcm_prepare(output.pcm);
            if (playing.request.paused)
                continue;
        }
        int error = fill(output, playing, buffer);
        if (error == 0) {
            takeTiming(output, playing);
            // Woken once a period has room, or by a timeout to see a new
            // request: a seek waits at most that long.
            const int ready = snd_pcm_wait(output.pcm, output.periodMs);
            error = ready < 0 ? ready : 0;
        }
        if (error < 0 && !recover(output, playing, error)) {
            reportLost(output, playing, error);
            return;
        }
    }
}

// A new start drops what the device holds, so nothing of the old place is
// heard after it. Once the device is gone the track runs on by the clock from
// the start's frame.
void start(const Track& track, size_t from, bool paused)
{
    AlsaOutput& output = *alsa;
    std::lock_guard<std::mutex> lock(output.lock);
    output.request = Request{&track, from, paused, output.request.count + 1};
    output.startsAsked = output.request.count;
    if (output.lost.load(std::memory_order_acquire))
        output.heard.store({monotonicNs(), 0, 0, true});
    output.asked.notify_one();
}

// Between two reports the place runs on by the clock, but never past what
// has been written.
double framesHeard()
{
    const AlsaOutput& output = *alsa;
    const bool lost = output.lost.load(std::memory_order_acquire);
    if (!lost && output.startsTaken.load(std::memory_order_acquire) != output.startsAsked)
        return 0;
    const Heard heard = output.heard.load();
    const double since = double(monotonicNs() - heard.at) * 1e-9 * trackRate;
    if (lost)
        return std::max(heard.frames + since, 0.0);
    return heard.known ? std::max(std::min(heard.frames + since, heard.given), 0.0) : 0.0;
}

// alsa-lib's complaints about a machine without a card; being refused is
// answer enough.
void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool openDevice(AlsaOutput& output)
{
    snd_lib_error_set_handler(ignoreAlsaError);
    const bool opened = snd_pcm_open(&output.pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) == 0;
    snd_lib_error_set_handler(nullptr);
    if (!opened)
        return false;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    if (snd_pcm_set_params(output.pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, trackChannels,
                           trackRate, 1, bufferUs) < 0 ||
        snd_pcm_get_params(output.pcm, &bufferFrames, &output.periodFrames) < 0 ||
        snd_pcm_sw_params_current(output.pcm, software) < 0 ||
        snd_pcm_sw_params_set_tstamp_mode(output.pcm, software, SND_PCM_TSTAMP_ENABLE) < 0 ||
        snd_pcm_sw_params_set_tstamp_type(output.pcm, software, SND_PCM_TSTAMP_TYPE_MONOTONIC) < 0 ||
        snd_pcm_sw_params(output.pcm, software) < 0) {
        snd_pcm_close(output.pcm);
        return false;
    }
    output.periodMs = std::max(1, int(output.periodFrames * 1000 / trackRate));
    return true;
}

}  // namespace

bool openAlsaOutput(OutputBackend& backend)
{
    auto* output = new AlsaOutput;
    if (!openDevice(*output)) {
        delete output;
        return false;
    }
    alsa = output;
    std::thread(play, std::ref(*alsa)).detach();
    backend = {start, framesHeard};
    return true;
}
