// A PipeWire sink that plays what it is given into another sink a fixed time
// later, and says so in its ports' latency, as a Bluetooth headset does:
//
//   delay-sink NAME TARGET-SINK MILLISECONDS
//
// "ready" goes to standard output once both sides are connected; SIGTERM or
// SIGINT ends it. Both sides run in the same cycles of the graph, so the
// sound is kept by the graph's own sample count: what came in at sample n
// goes out at n plus the delay, whichever side a cycle runs first and
// however the quantum changes. What never came in goes out as silence.
#include "pipewire-stream.h"

#include <spa/param/latency-utils.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <string>

namespace {

const uint32_t channels = 2;
const uint32_t rate = 48000;

struct Delay {
    pw_main_loop* loop = nullptr;
    pw_core* core = nullptr;
    pw_stream* input = nullptr;
    pw_stream* output = nullptr;
    // Interleaved frames by the graph's sample count, modulo its size: a
    // second more than the delay, and emptied as it is played.
    std::vector<float> ring;
    uint64_t delayFrames = 0;
    int connected = 0;
};

void stop(void* data, int)
{
    pw_main_loop_quit(static_cast<Delay*>(data)->loop);
}

// The graph's sample count at the start of this cycle.
uint64_t cycleStart(pw_stream* stream)
{
    pw_time time{};
    pw_stream_get_time_n(stream, &time, sizeof time);
    return time.ticks;
}

size_t ringFrames(const Delay& delay)
{
    return delay.ring.size() / channels;
}

void takeIn(void* data)
{
    auto& delay = *static_cast<Delay*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(delay.input);
    if (!buffer)
        return;
    const spa_data& chunk = buffer->buffer->datas[0];
    if (chunk.data) {
        const auto* samples = static_cast<const float*>(chunk.data) + chunk.chunk->offset / sizeof(float);
        const uint64_t start = cycleStart(delay.input) + delay.delayFrames;
        for (uint64_t frame = 0; frame < chunk.chunk->size / (channels * sizeof(float)); ++frame)
            std::copy_n(samples + frame * channels, channels,
                        delay.ring.begin() + long((start + frame) % ringFrames(delay) * channels));
    }
    pw_stream_queue_buffer(delay.input, buffer);
}

void giveOut(void* data)
{
    auto& delay = *static_cast<Delay*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(delay.output);
    if (!buffer)
        return;
    spa_data& chunk = buffer->buffer->datas[0];
    if (!chunk.data) {
        pw_stream_queue_buffer(delay.output, buffer);
        return;
    }
    const uint32_t stride = channels * sizeof(float);
    uint32_t frames = chunk.maxsize / stride;
    if (buffer->requested)
        frames = std::min<uint32_t>(frames, uint32_t(buffer->requested));
    auto* samples = static_cast<float*>(chunk.data);
    const uint64_t start = cycleStart(delay.output);
    for (uint64_t frame = 0; frame < frames; ++frame) {
        const auto slot = delay.ring.begin() + long((start + frame) % ringFrames(delay) * channels);
        std::copy_n(slot, channels, samples + frame * channels);
        std::fill_n(slot, channels, 0.0f);
    }
    chunk.chunk->offset = 0;
    chunk.chunk->stride = int32_t(stride);
    chunk.chunk->size = frames * stride;
    pw_stream_queue_buffer(delay.output, buffer);
}

// Latency towards the sinks travels upstream as the input direction's: what
// a sink's input ports report of it, a client's output ports see as theirs.
spa_latency_info latencyToSink()
{
    spa_latency_info info{};
    info.direction = SPA_DIRECTION_INPUT;
    return info;
}

// The sink's ports report how long after they take a sample it is heard:
// the delay, plus whatever the target sink reports for itself.
void publishLatency(Delay& delay, spa_latency_info downstream)
{
    downstream.min_ns += delay.delayFrames * 1000000000 / rate;
    downstream.max_ns += delay.delayFrames * 1000000000 / rate;
    uint8_t storage[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[] = {spa_latency_build(&builder, SPA_PARAM_Latency, &downstream)};
    pw_stream_update_params(delay.input, params, 1);
}

void outputParamChanged(void* data, uint32_t id, const spa_pod* param)
{
    spa_latency_info downstream = latencyToSink();
    if (id != SPA_PARAM_Latency || !param || spa_latency_parse(param, &downstream) < 0 ||
        downstream.direction != SPA_DIRECTION_INPUT)
        return;
    publishLatency(*static_cast<Delay*>(data), downstream);
}

void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto& delay = *static_cast<Delay*>(data);
    if (!streamFailed("delay-sink", delay.loop, state, error) && state == PW_STREAM_STATE_PAUSED &&
        ++delay.connected == 2)
        announce("ready");
}

const pw_stream_events inputEvents = streamEvents(stateChanged, takeIn);
const pw_stream_events outputEvents = streamEvents(stateChanged, giveOut, outputParamChanged);

// Both streams share one connection, and so the one thread that runs their
// cycles, which is all that touches the ring.
pw_stream* connect(Delay& delay, pw_properties* properties, spa_direction direction, const pw_stream_events& events,
                   spa_hook& listener)
{
    pw_stream* stream = pw_stream_new(delay.core, "delay-sink", properties);
    pw_stream_add_listener(stream, &listener, &events, &delay);
    connectAudio(stream, direction, SPA_AUDIO_FORMAT_F32, channels);
    return stream;
}

}  // namespace

int main(int argc, char** argv)
{
    const int milliseconds = argc == 4 ? std::atoi(argv[3]) : -1;
    if (milliseconds < 0) {
        std::fprintf(stderr, "usage: delay-sink NAME TARGET-SINK MILLISECONDS\n");
        return 1;
    }
    pw_init(&argc, &argv);
    Delay delay;
    delay.loop = pw_main_loop_new(nullptr);
    delay.delayFrames = uint64_t(milliseconds) * rate / 1000;
    delay.ring.assign((delay.delayFrames + rate) * channels, 0.0f);
    pw_loop_add_signal(pw_main_loop_get_loop(delay.loop), SIGINT, stop, &delay);
    pw_loop_add_signal(pw_main_loop_get_loop(delay.loop), SIGTERM, stop, &delay);
    pw_context* context = pw_context_new(pw_main_loop_get_loop(delay.loop), nullptr, 0);
    delay.core = pw_context_connect(context, nullptr, 0);
    if (!delay.core) {
        std::fprintf(stderr, "delay-sink: no PipeWire server\n");
        return 1;
    }

    const std::string group = std::string("delay-sink-") + argv[1];
    spa_hook inputListener{};
    spa_hook outputListener{};
    delay.input = connect(delay,
                          pw_properties_new(PW_KEY_MEDIA_CLASS, "Audio/Sink", PW_KEY_NODE_NAME, argv[1],
                                            PW_KEY_NODE_DESCRIPTION, argv[1], PW_KEY_NODE_GROUP, group.c_str(),
                                            nullptr),
                          SPA_DIRECTION_INPUT, inputEvents, inputListener);
    delay.output = connect(delay,
                           pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
                                             PW_KEY_NODE_NAME, (std::string(argv[1]) + ".output").c_str(),
                                             PW_KEY_TARGET_OBJECT, argv[2], PW_KEY_NODE_GROUP, group.c_str(),
                                             PW_KEY_NODE_DONT_RECONNECT, "true", nullptr),
                           SPA_DIRECTION_OUTPUT, outputEvents, outputListener);
    publishLatency(delay, latencyToSink());
    pw_main_loop_run(delay.loop);
    pw_stream_destroy(delay.input);
    pw_stream_destroy(delay.output);
    pw_core_disconnect(delay.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(delay.loop);
    pw_deinit();
    return 0;
}
