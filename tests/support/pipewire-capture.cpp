// A PipeWire sink that records what it is given, as mono 16-bit samples at
// 48 kHz, and when each cycle of the graph handed its samples over:
//
//   pipewire-capture NAME SAMPLES-FILE TIMES-FILE
//
// TIMES-FILE gets "<ns> <samples before this cycle's>" per cycle: the
// cycle's start on CLOCK_MONOTONIC, when a device of no latency would play
// its first sample. The sink does not drive the graph, so it has its
// samples in the very cycle the stream before it gave them out; a null
// sink that drives the graph gives its monitor the samples it took a cycle
// earlier, or now and then of the same cycle, a quantum that a recording of
// it cannot tell. Nor does it ask for a latency, so the graph keeps the
// quantum the programs around it choose. "recording" goes to standard output
// once the sink is there; SIGTERM or SIGINT ends it, and the files are
// written then.
#include "pipewire-stream.h"

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Recording {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    // Kept in memory until the end, so that the graph's thread never waits
    // on the disk.
    std::vector<int16_t> samples;
    std::vector<std::pair<int64_t, size_t>> cycles;
    int64_t firstCycle = 0;  // the first cycle's start
    bool announced = false;
};

void stop(void* data, int)
{
    pw_main_loop_quit(static_cast<Recording*>(data)->loop);
}

// Each cycle's samples are kept at the place of its start in time, so that
// sample n left the graph n / 48000 s after the first cycle's start. A cycle
// this program missed, as a loaded machine makes it now and then, or the
// graph's rest while nothing plays, is silence there; and a cycle may start
// earlier than the one before it ran to, when the graph wakes up or changes
// its quantum (by 12 to 25 ms, measured), over whose last samples it is
// written. The graph's own count of samples starts again from 0 then.
void takeCycle(void* data)
{
    auto& recording = *static_cast<Recording*>(data);
    pw_time time{};
    pw_stream_get_time_n(recording.stream, &time, sizeof time);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(recording.stream)) {
        const spa_data& chunk = buffer->buffer->datas[0];
        if (chunk.data) {
            if (recording.cycles.empty())
                recording.firstCycle = time.now;
            const auto place = size_t(std::llround(double(time.now - recording.firstCycle) * 48000 / 1e9));
            recording.samples.resize(place, 0);
            recording.cycles.emplace_back(time.now, place);
            const auto* samples = static_cast<const int16_t*>(chunk.data) + chunk.chunk->offset / sizeof(int16_t);
            recording.samples.insert(recording.samples.end(), samples, samples + chunk.chunk->size / sizeof(int16_t));
        }
        pw_stream_queue_buffer(recording.stream, buffer);
    }
}

void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto& recording = *static_cast<Recording*>(data);
    if (!streamFailed("pipewire-capture", recording.loop, state, error) && state == PW_STREAM_STATE_PAUSED &&
        !recording.announced) {
        recording.announced = true;
        announce("recording");
    }
}

const pw_stream_events events = streamEvents(stateChanged, takeCycle);

bool write(const Recording& recording, const char* samplesPath, const char* timesPath)
{
    FILE* samples = std::fopen(samplesPath, "wb");
    FILE* times = std::fopen(timesPath, "w");
    if (!samples || !times)
        return false;
    std::fwrite(recording.samples.data(), sizeof(int16_t), recording.samples.size(), samples);
    for (const auto& [ns, before] : recording.cycles)
        std::fprintf(times, "%lld %zu\n", static_cast<long long>(ns), before);
    return std::fclose(samples) == 0 && std::fclose(times) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: pipewire-capture NAME SAMPLES-FILE TIMES-FILE\n");
        return 1;
    }
    pw_init(&argc, &argv);
    Recording recording;
    recording.loop = pw_main_loop_new(nullptr);
    recording.samples.reserve(48000 * 120);
    pw_loop_add_signal(pw_main_loop_get_loop(recording.loop), SIGINT, stop, &recording);
    pw_loop_add_signal(pw_main_loop_get_loop(recording.loop), SIGTERM, stop, &recording);
    recording.stream = pw_stream_new_simple(
        pw_main_loop_get_loop(recording.loop), "pipewire-capture",
        pw_properties_new(PW_KEY_MEDIA_CLASS, "Audio/Sink", PW_KEY_NODE_NAME, argv[1], PW_KEY_NODE_DESCRIPTION,
                          argv[1], nullptr),
        &events, &recording);
    connectAudio(recording.stream, PW_DIRECTION_INPUT, SPA_AUDIO_FORMAT_S16, 1);
    pw_main_loop_run(recording.loop);
    pw_stream_destroy(recording.stream);
    pw_main_loop_destroy(recording.loop);
    pw_deinit();
    if (!write(recording, argv[2], argv[3])) {
        std::fprintf(stderr, "pipewire-capture: cannot write %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    return 0;
}
