// The track through PipeWire's own stream, where PipeWire is the desktop's
// sound server. The stream's timing counts every buffer between the track
// and the sink; PipeWire's pulse server leaves part of them out of the
// latency it reports, and through it the pictures ran ahead by 18 ms at
// quantum 2048, up to 31 ms.
//
// The stream fills its buffers on PipeWire's own thread, in step with the
// graph, and after each it works out which frame the graph's output starts
// on at the cycle's start; the main thread runs that on by the clock.
#include "heard-exchange.h"
#include "output-backend.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// One start of the track, on a stream of its own.
struct Playing {
    pw_stream* stream = nullptr;
    spa_hook listener{};
    const Track* track = nullptr;
    size_t from = 0;
    size_t handed = 0;  // the graph's thread's alone
    // Shared with the main thread.
    HeardExchange heard;
    std::atomic<bool> lost{false};
};

// The loop's thread runs the connection; PipeWire's calls are made under its
// lock. `playing` is the main thread's: the graph's thread and the loop's
// callbacks get their stream's own.
struct PipewireOutput {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    Playing* playing = nullptr;  // null while paused
};

PipewireOutput pipewire;

// The quantum the stream asks for, PipeWire's largest by default (43 ms):
// the graph wakes the process seldom, and runs at a smaller one where
// another program asks for it.
const char* const requestedLatency = "2048/48000";

class LoopLock {
public:
    LoopLock() { pw_thread_loop_lock(pipewire.loop); }
    ~LoopLock() { pw_thread_loop_unlock(pipewire.loop); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;
};

// After a buffer is queued. The graph plays it in this same cycle: the
// stream holds none ahead, and a click queued in a cycle reaches a sink that
// does not drive the graph in that cycle (measured). Before it come the
// frames queued and those in the resampler, and the graph's output is heard
// `delay` after the cycle's start. So the frame heard at the cycle's start
// is the last one handed less all of those.
void takeTiming(Playing& playing)
{
    pw_time time{};
    if (pw_stream_get_time_n(playing.stream, &time, sizeof time) < 0 || time.rate.denom == 0)
        return;
    const double delay = double(time.delay) * time.rate.num / time.rate.denom * trackRate;
    const double given = double(playing.handed) - double(time.buffered) - delay;
    playing.heard.store({time.now, given - double(time.queued), given, true});
}

// The stream plays on in silence after the track, so that its time runs on
// until the track's last sample has been heard.
void fillBuffer(void* data)
{
    auto& playing = *static_cast<Playing*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(playing.stream);
    if (!buffer)
        return;
    spa_data& out = buffer->buffer->datas[0];
    const size_t frameBytes = trackChannels * sizeof(int16_t);
    size_t frames = out.data ? out.maxsize / frameBytes : 0;
    if (buffer->requested)
        frames = std::min<size_t>(frames, buffer->requested);
    if (frames)
        copyFrames(*playing.track, playing.from + playing.handed, frames, out.data);
    out.chunk->offset = 0;
    out.chunk->stride = static_cast<int32_t>(frameBytes);
    out.chunk->size = static_cast<uint32_t>(frames * frameBytes);
    buffer->size = frames;
    playing.handed += frames;
    pw_stream_queue_buffer(playing.stream, buffer);
    takeTiming(playing);
}

void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char*)
{
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED)
        static_cast<Playing*>(data)->lost.store(true);
}

const pw_stream_events streamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = stateChanged;
    events.process = fillBuffer;
    return events;
}();

void dropStream()
{
    if (!pipewire.playing)
        return;
    pw_stream_destroy(pipewire.playing->stream);
    delete pipewire.playing;
    pipewire.playing = nullptr;
}

bool connectStream(Playing& playing)
{
    playing.stream = pw_stream_new(
        pipewire.core, "chiptune2.ogg",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE,
                          "Music", PW_KEY_NODE_LATENCY, requestedLatency, nullptr));
    if (!playing.stream)
        return false;
    pw_stream_add_listener(playing.stream, &playing.listener, &streamEvents, &playing);
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
    return pw_stream_connect(playing.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) == 0;
}

// A new stream at every start: its count begins at the start's frame, and
// nothing of the old place is left in the graph to be heard after it.
void start(const Track& track, size_t from, bool paused)
{
    LoopLock lock;
    dropStream();
    if (paused)
        return;
    pipewire.playing = new Playing;
    pipewire.playing->track = &track;
    pipewire.playing->from = from;
    // Before its stream exists, so before the graph's thread writes.
    pipewire.playing->heard.store({monotonicNs(), 0, 0, false});
    if (!connectStream(*pipewire.playing))
        pipewire.playing->lost.store(true);
}

// Between two cycles the place runs on by the clock, but never past what the
// graph has been given: after the process stood still, the picture waits for
// the next cycle. A stream the server has dropped (or never took) runs on by
// the clock from where it was last heard, so that the pictures go on to the
// end.
double framesHeard()
{
    Playing* playing = pipewire.playing;
    if (!playing)
        return 0;
    const Heard heard = playing->heard.load();
    const double since = double(monotonicNs() - heard.at) * 1e-9 * trackRate;
    if (playing->lost.load())
        return std::max(heard.frames + since, 0.0);
    return heard.known ? std::max(std::min(heard.frames + since, heard.given), 0.0) : 0.0;
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

void closePipewire()
{
    if (pipewire.loop)
        pw_thread_loop_stop(pipewire.loop);
    if (pipewire.core)
        pw_core_disconnect(pipewire.core);
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
        pipewire.core = pw_context_connect(pipewire.context, nullptr, 0);
        serves = pipewire.core && hasSink();
    }
    if (!serves) {
        closePipewire();
        return false;
    }
    backend = {start, framesHeard};
    return true;
}
