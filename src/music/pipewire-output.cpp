// The track through PipeWire's own stream, where PipeWire is the desktop's
// sound server. The stream's timing counts every buffer between the track
// and the sink; PipeWire's pulse server leaves part of them out of the
// latency it reports, and through it the pictures ran ahead by 18 ms at
// quantum 2048, up to 31 ms.
//
// The stream fills its buffers on PipeWire's own thread, in step with the
// graph, and after each it works out which frame the graph's output starts
// on at the cycle's start; the main thread runs that on by the clock.
//
// A watch on the loop's thread looks after the connection: a server that
// went away, a stream that errs, stops being played, or never plays. Then
// the place runs on by the clock and the output connects again, on a new
// connection and a new stream, which plays on from where the clock has run.
#include "heard-exchange.h"
#include "output-backend.h"
#include "reconnection.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace {

// One start of the track, and the place heard since, which outlives the
// streams that play it when the sound goes away and comes back.
struct Playing {
    const Track* track = nullptr;
    size_t from = 0;
    int64_t startedAt = 0;
    // Written by the graph's thread while a stream plays, else under the
    // loop's lock; read by the main thread.
    HeardExchange heard;
};

// One stream that plays a start.
struct Stream {
    pw_stream* stream = nullptr;
    spa_hook listener{};
    Playing* playing = nullptr;
    int64_t createdAt = 0;
    bool lost = false;               // under the loop's lock
    std::atomic<int64_t> lastCycle{0};
    // The graph's thread's alone.
    bool begun = false;
    size_t first = 0;                // frames past the start's frame that it plays from
    size_t handed = 0;
};

// The loop's thread runs the connection; PipeWire's calls are made under its
// lock. `playing` is changed by the main thread alone, under the lock.
struct PipewireOutput {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;         // null while the server is away
    spa_hook coreListener{};
    bool coreLost = false;
    Playing* playing = nullptr;      // null while paused
    Stream* stream = nullptr;
    int64_t retryAt = 0;
    RetryDelay retry;
};

PipewireOutput pipewire;

// The quantum the stream asks for, PipeWire's largest by default (43 ms):
// the graph wakes the process seldom, and runs at a smaller one where
// another program asks for it.
const char* const requestedLatency = "2048/48000";

// How often the watch looks: the pictures run on by themselves meanwhile.
const int64_t watchIntervalNs = 100'000'000;

class LoopLock {
public:
    LoopLock() { pw_thread_loop_lock(pipewire.loop); }
    ~LoopLock() { pw_thread_loop_unlock(pipewire.loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;
};

double delayFrames(const pw_time& time)
{
    return double(time.delay) * time.rate.num / time.rate.denom * trackRate;
}

// After a buffer is queued. The graph plays it in this same cycle: the
// stream holds none ahead, and a click queued in a cycle reaches a sink that
// does not drive the graph in that cycle (measured). Before it come the
// frames queued and those in the resampler, and the graph's output is heard
// `delay` after the cycle's start. So the frame heard at the cycle's start
// is the last one handed less all of those.
void takeTiming(Stream& stream)
{
    pw_time time{};
    if (pw_stream_get_time_n(stream.stream, &time, sizeof time) < 0 || time.rate.denom == 0)
        return;
    const double given = double(stream.first + stream.handed) - double(time.buffered) - delayFrames(time);
    stream.playing->heard.store({time.now, given - double(time.queued), given, true});
}

// A stream that comes after a lost one plays from where the clock has run
// to once its sound is out, so that the pictures go on without a jump.
void beginStream(Stream& stream)
{
    stream.begun = true;
    const Heard before = stream.playing->heard.load();
    if (!before.known)
        return;
    pw_time time{};
    const bool timed = pw_stream_get_time_n(stream.stream, &time, sizeof time) == 0 && time.rate.denom != 0;
    const double ahead = timed ? delayFrames(time) : 0.0;
    stream.first = static_cast<size_t>(std::lround(heardBy(before, monotonicNs()) + ahead));
}

// The stream plays on in silence after the track, so that its time runs on
// until the track's last sample has been heard.
void fillBuffer(void* data)
{
    auto& stream = *static_cast<Stream*>(data);
    stream.lastCycle.store(monotonicNs(), std::memory_order_relaxed);
    if (!stream.begun)
        beginStream(stream);
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream.stream);
    if (!buffer)
        return;
    spa_data& out = buffer->buffer->datas[0];
    const size_t frameBytes = trackChannels * sizeof(int16_t);
    size_t frames = out.data ? out.maxsize / frameBytes : 0;
    if (buffer->requested)
        frames = std::min<size_t>(frames, buffer->requested);
    if (frames)
        copyFrames(*stream.playing->track, stream.playing->from + stream.first + stream.handed, frames, out.data);
    out.chunk->offset = 0;
    out.chunk->stride = static_cast<int32_t>(frameBytes);
    out.chunk->size = static_cast<uint32_t>(frames * frameBytes);
    buffer->size = frames;
    stream.handed += frames;
    pw_stream_queue_buffer(stream.stream, buffer);
    takeTiming(stream);
}

// Only this program pauses its streams, and it never does: a stream paused
// after it played was unlinked, its sink removed.
void stateChanged(void* data, pw_stream_state old, pw_stream_state state, const char*)
{
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED ||
        (old == PW_STREAM_STATE_STREAMING && state == PW_STREAM_STATE_PAUSED))
        static_cast<Stream*>(data)->lost = true;
}

const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = stateChanged;
    events.process = fillBuffer;
    return events;
}();

// Once it returns the graph's thread no longer runs the stream.
void dropStream()
{
    if (!pipewire.stream)
        return;
    if (pipewire.stream->stream)
        pw_stream_destroy(pipewire.stream->stream);
    delete pipewire.stream;
    pipewire.stream = nullptr;
}

bool connectStream(Stream& stream)
{
    stream.stream = pw_stream_new(
        pipewire.core, "chiptune2.ogg",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
                          "Music", PW_KEY_NODE_LATENCY, requestedLatency, nullptr));
    if (!stream.stream)
        return false;
    pw_stream_add_listener(stream.stream, &stream.listener, &streamEvents, &stream);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_S16_LE;
    format.rate = trackRate;
    format.channels = trackChannels;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                                    PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0;
}

void newStream(int64_t now)
{
    pipewire.stream = new Stream;
    pipewire.stream->playing = pipewire.playing;
    pipewire.stream->createdAt = now;
    if (!connectStream(*pipewire.stream))
        pipewire.stream->lost = true;
}

// The connection's own error: the server has gone.
void coreFailed(void*, uint32_t id, int, int res, const char*)
{
    if (id == PW_ID_CORE && res == -EPIPE)
        pipewire.coreLost = true;
}

const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = coreFailed;
    return events;
}();

bool connectCore()
{
    pipewire.core = pw_context_connect(pipewire.context, nullptr, 0);
    if (!pipewire.core)
        return false;
    pipewire.coreLost = false;
    pw_core_add_listener(pipewire.core, &pipewire.coreListener, &coreEvents, nullptr);
    return true;
}

void dropCore()
{
    if (!pipewire.core)
        return;
    spa_hook_remove(&pipewire.coreListener);
    pw_core_disconnect(pipewire.core);
    pipewire.core = nullptr;
}

// With no stream playing: from the place the pictures have reached on.
void runOnTheClock(Playing& playing, int64_t now)
{
    playing.heard.store(heardOnTheClock(heardBy(playing.heard.load(), now), now));
}

// A stream is lost when its connection or the stream itself fails, or when
// nothing has played it for a while: a sink gone without a word, or a
// stream that no session manager links. A start waits as long for its first
// sound before the pictures run without it.
void watchSound(void*, uint64_t)
{
    const int64_t now = monotonicNs();
    if (Stream* stream = pipewire.stream) {
        const int64_t lastCycle = stream->lastCycle.load(std::memory_order_relaxed);
        if (lastCycle != 0)
            pipewire.retry.reset();
        if (pipewire.coreLost || stream->lost || now - std::max(lastCycle, stream->createdAt) > silentLimitNs) {
            dropStream();
            dropCore();
            pipewire.retryAt = now + pipewire.retry.next();
            runOnTheClock(*pipewire.playing, now);
        }
    }
    if (pipewire.coreLost)
        dropCore();
    Playing* playing = pipewire.playing;
    if (!playing || pipewire.stream)
        return;
    if (!playing->heard.load().known && now - playing->startedAt > silentLimitNs)
        runOnTheClock(*playing, now);
    if (now < pipewire.retryAt)
        return;
    if (pipewire.core || connectCore())
        newStream(now);
    else
        pipewire.retryAt = now + pipewire.retry.next();
}

// A new stream at every start: its count begins at the start's frame, and
// nothing of the old place is left in the graph to be heard after it.
void start(const Track& track, size_t from, bool paused)
{
    LoopLock lock;
    dropStream();
    delete pipewire.playing;
    pipewire.playing = nullptr;
    if (paused)
        return;
    pipewire.playing = new Playing;
    pipewire.playing->track = &track;
    pipewire.playing->from = from;
    pipewire.playing->startedAt = monotonicNs();
    // Before its stream exists, so before the graph's thread writes.
    pipewire.playing->heard.store({pipewire.playing->startedAt, 0, 0, false});
    if (pipewire.core && !pipewire.coreLost)
        newStream(pipewire.playing->startedAt);
}

// Between two cycles the place runs on by the clock, but never past what the
// graph has been given: after the process stood still, the picture waits for
// the next cycle. Without a stream that plays it runs on by the clock from
// where it was last heard, so that the pictures go on to the end.
double framesHeard()
{
    const Playing* playing = pipewire.playing;
    return playing ? heardBy(playing->heard.load(), monotonicNs()) : 0.0;
}

// PipeWire also runs on desktops whose sound is PulseAudio's, for screens and
// cameras alone: there it has no sink, and the track goes to PulseAudio.
struct SinkSearch {
    bool found = false;
    bool done = false;
};

void globalAdded(void* data, uint32_t, uint32_t, const char* type, uint32_t, const spa_dict* props)
{
    const char* mediaClass = props ? spa_dict_lookup(props, PW_KEY_MEDIA_CLASS) : nullptr;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && mediaClass && std::strcmp(mediaClass, "Audio/Sink") == 0)
        static_cast<SinkSearch*>(data)->found = true;
}

void coreDone(void* data, uint32_t, int)
{
    static_cast<SinkSearch*>(data)->done = true;
    pw_thread_loop_signal(pipewire.loop, false);
}

void coreError(void* data, uint32_t, int, int, const char*)
{
    coreDone(data, 0, 0);
}

bool hasSink()
{
    SinkSearch search;
    pw_registry_events registryEvents{};
    registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
    registryEvents.global = globalAdded;
    pw_core_events coreEvents{};
    coreEvents.version = PW_VERSION_CORE_EVENTS;
    coreEvents.done = coreDone;
    coreEvents.error = coreError;
    spa_hook registryListener{}, coreListener{};
    pw_registry* registry = pw_core_get_registry(pipewire.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &registryEvents, &search);
    pw_core_add_listener(pipewire.core, &coreListener, &coreEvents, &search);
    pw_core_sync(pipewire.core, PW_ID_CORE, 0);
    while (!search.done)
        pw_thread_loop_wait(pipewire.loop);
    spa_hook_remove(&coreListener);
    spa_hook_remove(&registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    return search.found;
}

void watchConnection()
{
    pw_loop* loop = pw_thread_loop_get_loop(pipewire.loop);
    spa_source* watch = pw_loop_add_timer(loop, watchSound, nullptr);
    timespec interval{0, watchIntervalNs};
    pw_loop_update_timer(loop, watch, &interval, &interval, false);
}

void closePipewire()
{
    if (pipewire.loop)
        pw_thread_loop_stop(pipewire.loop);
    dropCore();
    if (pipewire.context)
        pw_context_destroy(pipewire.context);
    if (pipewire.loop)
        pw_thread_loop_destroy(pipewire.loop);
    pipewire = PipewireOutput{};
}

}  // namespace

bool openPipewireOutput(OutputBackend& backend)
{
    pw_init(nullptr, nullptr);
    pipewire.loop = pw_thread_loop_new("mosaic-music", nullptr);
    if (pipewire.loop)
        pipewire.context = pw_context_new(pw_thread_loop_get_loop(pipewire.loop), nullptr, 0);
    if (!pipewire.context || pw_thread_loop_start(pipewire.loop) < 0) {
        closePipewire();
        return false;
    }
    bool serves = false;
    {
        LoopLock lock;
        serves = connectCore() && hasSink();
        if (serves)
            watchConnection();
    }
    if (!serves) {
        closePipewire();
        return false;
    }
    backend = {start, framesHeard};
    return true;
}
