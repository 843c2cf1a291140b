// Records a PipeWire sink's monitor as mono 16-bit samples at 48 kHz, and
// when each cycle of the graph handed its samples over:
//
//   pipewire-capture SINK SAMPLES-FILE TIMES-FILE
//
// TIMES-FILE gets "<ns> <samples before this cycle's>" per cycle: the time
// the cycle started on CLOCK_MONOTONIC, when its first sample left the
// sink. Unlike a recording through the pulse protocol, whose fragment size
// becomes a latency the graph must meet, this one asks for none, so the
// graph keeps the quantum the programs around it choose. "recording" goes to
// standard output once the stream runs; SIGTERM or SIGINT ends it, and the
// files are written then.
#include "pipewire-stream.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

struct Recording {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    // Kept in memory until the end, so that the graph's thread never waits
    // on the disk.
    std::vector<int16_t> samples;
    std::vector<std::pair<int64_t, size_t>> cycles;
    uint64_t firstTick = 0;  // the graph's count of samples at the first cycle
    bool announced = false;
};

void stop(void* data, int)
{
    pw_main_loop_quit(static_cast<Recording*>(data)->loop);
}

// The samples are kept at their place in the graph's count: a cycle this
// program missed, as a loaded machine makes it now and then, is silence in
// the recording rather than a gap that would move all that follows.
void takeCycle(void* data)
{
    auto& recording = *static_cast<Recording*>(data);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    pw_time time{};
    pw_stream_get_time_n(recording.stream, &time, sizeof time);
    if (recording.cycles.empty())
        recording.firstTick = time.ticks;
    const size_t place = size_t(time.ticks - recording.firstTick);
    if (place > recording.samples.size())
        recording.samples.resize(place, 0);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(recording.stream)) {
        const spa_data& chunk = buffer->buffer->datas[0];
        if (chunk.data) {
            recording.cycles.emplace_back(int64_t(now.tv_sec) * 1000000000 + now.tv_nsec, recording.samples.size());
            const auto* samples = static_cast<const int16_t*>(chunk.data) + chunk.chunk->offset / sizeof(int16_t);
            recording.samples.insert(recording.samples.end(), samples, samples + chunk.chunk->size / sizeof(int16_t));
        }
        pw_stream_queue_buffer(recording.stream, buffer);
    }
}

void stateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto& recording = *static_cast<Recording*>(data);
    if (!streamFailed("pipewire-capture", recording.loop, state, error) && state == PW_STREAM_STATE_STREAMING &&
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
        std::fprintf(stderr, "usage: pipewire-capture SINK SAMPLES-FILE TIMES-FILE\n");
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
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_TARGET_OBJECT,
                          argv[1], PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_DONT_RECONNECT, "true",
                          nullptr),
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
