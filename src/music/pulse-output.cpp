// The track through the sound server's stream. The server times the stream
// against its sink and adds the sink's own latency, so the stream's time is
// the place heard, whatever buffers the server and the sink hold.
//
// A watch on the loop's thread looks after the connection: a server that
// went away or does not answer, a stream that fails (its sink removed) or
// that nothing plays. Then the place runs on by the
// clock and the output connects again, on a new context and a new stream,
// which plays on from where the clock has run.
#include "heard-exchange.h"
#include "output-backend.h"
#include "reconnection.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>

namespace {

// Everything here is under the main loop's lock; its callbacks hold it.
struct PulseOutput {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;  // null while the server is away
    int64_t connectedAt = 0;
    pa_stream* stream = nullptr;    // null while paused or the server is away
    const Track* track = nullptr;
    size_t from = 0;                // the start's frame
    bool playing = false;           // the start plays
    int64_t startedAt = 0;
    // The place last heard, counted from the start's frame, on by the clock
    // once the stream is gone.
    Heard heard;
    // The stream's own.
    bool begun = false;             // the server has asked for its first frames
    size_t first = 0;               // frames past the start's frame that it plays from
    size_t next = 0;                // the next frame written, past the end in silence
    int64_t playedAt = 0;           // its creation, or when it was last seen played
    bool timingAsked = false;
    int64_t timingAskedAt = 0;
    int64_t retryAt = 0;
    RetryDelay retry;
};

PulseOutput pulse;

const pa_usec_t bufferedUsec = 186 * PA_USEC_PER_MSEC;
// How often the watch looks: the pictures run on by themselves meanwhile.
const pa_usec_t watchIntervalUsec = 100 * PA_USEC_PER_MSEC;

class LoopLock {
public:
    LoopLock() { pa_threaded_mainloop_lock(pulse.loop); }
    ~LoopLock() { pa_threaded_mainloop_unlock(pulse.loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;
};

void wakeWaiter(pa_context*, void*)
{
    pa_threaded_mainloop_signal(pulse.loop, 0);
}

// A stream that comes after a lost one plays from where the clock has run
// to when the server first asks for sound.
void beginStream()
{
    pulse.begun = true;
    if (pulse.heard.known)
        pulse.first = static_cast<size_t>(std::lround(heardBy(pulse.heard, monotonicNs())));
    pulse.next = pulse.from + pulse.first;
}

// As much as the server asks for, so that the stream holds what it was set
// up to hold. The stream plays on in silence after the track, so that its
// time runs on until the track's last sample has been heard.
void writeMore(pa_stream* stream, size_t requested, void*)
{
    if (!pulse.begun)
        beginStream();
    const size_t frameBytes = trackChannels * sizeof(int16_t);
    while (requested >= frameBytes) {
        void* data = nullptr;
        size_t bytes = requested;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data)
            return;
        const size_t frames = std::min(bytes, requested) / frameBytes;
        if (frames == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        copyFrames(*pulse.track, pulse.next, frames, data);
        pulse.next += frames;
        pa_stream_write(stream, data, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
        requested -= frames * frameBytes;
    }
}

void timingUpdated(pa_stream*, int, void*)
{
    pulse.timingAsked = false;
}

void askForTiming()
{
    if (pulse.timingAsked)
        return;
    if (pa_operation* asked = pa_stream_update_timing_info(pulse.stream, timingUpdated, nullptr)) {
        pulse.timingAsked = true;
        pulse.timingAskedAt = monotonicNs();
        pa_operation_unref(asked);
    }
}

void dropStream()
{
    if (!pulse.stream)
        return;
    pa_stream_set_write_callback(pulse.stream, nullptr, nullptr);
    pa_stream_disconnect(pulse.stream);
    pa_stream_unref(pulse.stream);
    pulse.stream = nullptr;
    pulse.begun = false;
    pulse.timingAsked = false;
}

void newStream(int64_t now)
{
    pulse.first = 0;
    pulse.playedAt = now;
    const pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<uint32_t>(trackRate), trackChannels};
    pulse.stream = pa_stream_new(pulse.context, "chiptune2.ogg", &spec, nullptr);
    if (!pulse.stream)
        return;
    pa_stream_set_write_callback(pulse.stream, writeMore, nullptr);
    // As much sound on its way, sink included, as the mixer's buffers once
    // held: a seek or a resume is heard that soon, and the stream rides out
    // a frame that takes long.
    pa_buffer_attr buffer;
    buffer.maxlength = static_cast<uint32_t>(-1);
    buffer.tlength = static_cast<uint32_t>(pa_usec_to_bytes(bufferedUsec, &spec));
    buffer.prebuf = static_cast<uint32_t>(-1);
    buffer.minreq = static_cast<uint32_t>(-1);
    buffer.fragsize = static_cast<uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
    pa_stream_connect_playback(pulse.stream, nullptr, &buffer, flags, nullptr, nullptr);
}

bool connectContext(int64_t now)
{
    pulse.context = pa_context_new(pa_threaded_mainloop_get_api(pulse.loop), "mosaic-demo");
    pulse.connectedAt = now;
    return pulse.context && pa_context_connect(pulse.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0;
}

void dropContext()
{
    if (!pulse.context)
        return;
    pa_context_disconnect(pulse.context);
    pa_context_unref(pulse.context);
    pulse.context = nullptr;
}

bool contextReady()
{
    return pulse.context && pa_context_get_state(pulse.context) == PA_CONTEXT_READY;
}

// With no stream playing: from the place the pictures have reached on.
void runOnTheClock(int64_t now)
{
    pulse.heard = heardOnTheClock(heardBy(pulse.heard, now), now);
}

// The server does not say when nothing plays a stream: it is not linked,
// or the server hangs. The timing tells the first, and a request for it
// that is never answered the second.
bool connectionLost(int64_t now)
{
    if (pulse.context && !PA_CONTEXT_IS_GOOD(pa_context_get_state(pulse.context)))
        return true;
    if (pulse.context && !contextReady() && now - pulse.connectedAt > silentLimitNs)
        return true;
    if (!pulse.stream)
        return false;
    const pa_stream_state_t state = pa_stream_get_state(pulse.stream);
    const pa_timing_info* timing = state == PA_STREAM_READY ? pa_stream_get_timing_info(pulse.stream) : nullptr;
    if (timing && timing->playing)
        pulse.playedAt = now;
    return !PA_STREAM_IS_GOOD(state) || now - pulse.playedAt > silentLimitNs ||
           (pulse.timingAsked && now - pulse.timingAskedAt > silentLimitNs);
}

timeval nextWatch()
{
    timeval next{};
    pa_timeval_add(pa_gettimeofday(&next), watchIntervalUsec);
    return next;
}

// A stream is lost when its connection or the stream itself fails, or when
// nothing has played it for a while. A start waits as long for its first
// sound before the pictures run without it.
void watchSound(pa_mainloop_api* api, pa_time_event* event, const timeval*, void*)
{
    const int64_t now = monotonicNs();
    if (pulse.begun)
        pulse.retry.reset();
    if (connectionLost(now)) {
        runOnTheClock(now);
        dropStream();
        dropContext();
        pulse.retryAt = now + pulse.retry.next();
    }
    if (pulse.playing && !pulse.stream) {
        if (!pulse.heard.known && now - pulse.startedAt > silentLimitNs)
            runOnTheClock(now);
        if (!pulse.context && now >= pulse.retryAt && !connectContext(now)) {
            dropContext();
            pulse.retryAt = now + pulse.retry.next();
        }
        if (contextReady())
            newStream(now);
    }
    const timeval next = nextWatch();
    api->time_restart(event, &next);
}

void watchConnection()
{
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(pulse.loop);
    const timeval next = nextWatch();
    api->time_new(api, &next, watchSound, nullptr);
}

// A new stream at every start: its time counts from the start's frame, and
// nothing of the old place is left in the server to be heard after it.
void start(const Track& track, size_t from, bool paused)
{
    LoopLock lock;
    dropStream();
    pulse.track = &track;
    pulse.from = from;
    pulse.playing = !paused;
    pulse.startedAt = monotonicNs();
    pulse.heard = {pulse.startedAt, 0, 0, false};
    if (!paused && contextReady())
        newStream(pulse.startedAt);
}

// Frames of the stream heard so far: what the sink has taken less what it
// still holds, run on by the clock since the timing while the stream plays.
// Each frame asks for fresh timing, so this is never more than a frame or
// two old; libpulse's own interpolated time smooths a jump away over
// seconds, and after a stall the pictures ran up to 93 ms behind the sound.
// None until its sound is out.
double streamFramesHeard()
{
    if (!pulse.stream || pa_stream_get_state(pulse.stream) != PA_STREAM_READY)
        return 0;
    const pa_timing_info* timing = pa_stream_get_timing_info(pulse.stream);
    if (!timing)
        return 0;
    askForTiming();
    const pa_usec_t read = pa_bytes_to_usec(static_cast<uint64_t>(std::max<int64_t>(timing->read_index, 0)),
                                            pa_stream_get_sample_spec(pulse.stream));
    const pa_usec_t since = timing->playing ? pa_timeval_age(&timing->timestamp) : 0;
    const pa_usec_t heard = read + since > timing->sink_usec ? read + since - timing->sink_usec : 0;
    return static_cast<double>(heard) * trackRate / PA_USEC_PER_SEC;
}

// Until the stream is heard the place holds the start, or runs on by the
// clock from where it was last heard, so that the pictures go on to the end.
double framesHeard()
{
    LoopLock lock;
    const int64_t now = monotonicNs();
    const double heard = streamFramesHeard();
    if (heard > 0)
        pulse.heard = heardOnTheClock(double(pulse.first) + heard, now);
    return heardBy(pulse.heard, now);
}

void closePulse()
{
    if (pulse.loop)
        pa_threaded_mainloop_stop(pulse.loop);
    dropContext();
    if (pulse.loop)
        pa_threaded_mainloop_free(pulse.loop);
    pulse = PulseOutput{};
}

}  // namespace

bool openPulseOutput(OutputBackend& backend)
{
    pulse.loop = pa_threaded_mainloop_new();
    if (!pulse.loop || pa_threaded_mainloop_start(pulse.loop) < 0) {
        closePulse();
        return false;
    }
    bool ready = false;
    {
        LoopLock lock;
        if (connectContext(monotonicNs())) {
            pa_context_set_state_callback(pulse.context, wakeWaiter, nullptr);
            pa_context_state_t state;
            while ((state = pa_context_get_state(pulse.context)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
                pa_threaded_mainloop_wait(pulse.loop);
            pa_context_set_state_callback(pulse.context, nullptr, nullptr);
        }
        ready = contextReady();
        if (ready)
            watchConnection();
    }
    if (!ready) {
        closePulse();
        return false;
    }
    backend = {start, framesHeard};
    return true;
}
