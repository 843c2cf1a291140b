// The track through the sound server's stream. The server times the stream
// against its sink and adds the sink's own latency, so the stream's time is
// the place heard, whatever buffers the server and the sink hold.
#include "output-backend.h"

#include <pulse/pulseaudio.h>
#include <SDL2/SDL.h>

#include <algorithm>

namespace {

// Everything here is under the main loop's lock; its callbacks hold it.
struct PulseOutput {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;   // null while paused
    const Track* track = nullptr;
    size_t next = 0;               // the next frame written, past the end in silence
    bool timingAsked = false;
    // The last answer, and when it came, for a stream the server has lost.
    double heard = 0;
    uint32_t heardAt = 0;
};

PulseOutput pulse;

const pa_usec_t bufferedUsec = 186 * PA_USEC_PER_MSEC;

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

// The stream plays on in silence after the track, so that its time runs on
// until the track's last sample has been heard.
void writeMore(pa_stream* stream, size_t, void*)
{
    void* data = nullptr;
    size_t bytes = static_cast<size_t>(-1);
    if (pa_stream_begin_write(stream, &data, &bytes) < 0 || !data)
        return;
    const size_t frameBytes = trackChannels * sizeof(int16_t);
    const size_t frames = bytes / frameBytes;
    copyFrames(*pulse.track, pulse.next, frames, data);
    pulse.next += frames;
    pa_stream_write(stream, data, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE);
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
    pulse.timingAsked = false;
}

// A new stream at every start: its time counts from the start's frame, and
// nothing of the old place is left in the server to be heard after it.
void start(const Track& track, size_t from, bool paused)
{
    LoopLock lock;
    dropStream();
    pulse.track = &track;
    pulse.next = from;
    pulse.heard = 0;
    pulse.heardAt = SDL_GetTicks();
    if (paused)
        return;
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

// Once the server is gone (it stopped, or it dropped the stream) nothing
// more is heard; the track then runs on from where it was last heard, so
// that the pictures go on to the end.
double framesHeard()
{
    LoopLock lock;
    if (!pulse.stream)
        return 0;
    const pa_stream_state_t state = pa_stream_get_state(pulse.stream);
    if (!PA_STREAM_IS_GOOD(state))
        return pulse.heard + static_cast<uint32_t>(SDL_GetTicks() - pulse.heardAt) * (trackRate / 1000.0);
    const pa_timing_info* timing = state == PA_STREAM_READY ? pa_stream_get_timing_info(pulse.stream) : nullptr;
    if (!timing)
        return 0;
    askForTiming();
    // What the sink has taken less what it still holds, run on by the clock
    // since the timing while the stream plays. Each frame asks for fresh
    // timing, so this is never more than a frame or two old; libpulse's own
    // interpolated time smooths a jump away over seconds, and after a stall
    // the pictures ran up to 93 ms behind the sound.
    const pa_usec_t read = pa_bytes_to_usec(static_cast<uint64_t>(std::max<int64_t>(timing->read_index, 0)),
                                            pa_stream_get_sample_spec(pulse.stream));
    const pa_usec_t since = timing->playing ? pa_timeval_age(&timing->timestamp) : 0;
    const pa_usec_t heard = read + since > timing->sink_usec ? read + since - timing->sink_usec : 0;
    pulse.heard = static_cast<double>(heard) * trackRate / PA_USEC_PER_SEC;
    pulse.heardAt = SDL_GetTicks();
    return pulse.heard;
}

void closePulse()
{
    if (pulse.loop)
        pa_threaded_mainloop_stop(pulse.loop);
    if (pulse.context) {
        pa_context_disconnect(pulse.context);
        pa_context_unref(pulse.context);
    }
    if (pulse.loop)
        pa_threaded_mainloop_free(pulse.loop);
    pulse = PulseOutput{};
}

}  // namespace

bool openPulseOutput(OutputBackend& backend)
{
    pulse.loop = pa_threaded_mainloop_new();
    if (pulse.loop)
        pulse.context = pa_context_new(pa_threaded_mainloop_get_api(pulse.loop), "mosaic-demo");
    if (!pulse.context || pa_threaded_mainloop_start(pulse.loop) < 0) {
        closePulse();
        return false;
    }
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;
    {
        LoopLock lock;
        pa_context_set_state_callback(pulse.context, wakeWaiter, nullptr);
        if (pa_context_connect(pulse.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
            while ((state = pa_context_get_state(pulse.context)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state))
                pa_threaded_mainloop_wait(pulse.loop);
        }
        pa_context_set_state_callback(pulse.context, nullptr, nullptr);
    }
    if (state != PA_CONTEXT_READY) {
        closePulse();
        return false;
    }
    backend = {start, framesHeard};
    return true;
}
