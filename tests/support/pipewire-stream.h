// What the PipeWire nodes of the tests and benchmarks (pipewire-capture,
// delay-sink) ask of their streams alike.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <cstdio>

using StateChanged = void (*)(void*, pw_stream_state, pw_stream_state, const char*);

inline pw_stream_events streamEvents(StateChanged stateChanged, void (*process)(void*),
                                     void (*paramChanged)(void*, uint32_t, const spa_pod*) = nullptr)
{
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = stateChanged;
    events.param_changed = paramChanged;
    events.process = process;
    return events;
}

// Connects a stream of 48 kHz samples, mono or stereo, whose cycles run on
// the graph's own thread, in step with the cycle they belong to.
inline void connectAudio(pw_stream* stream, spa_direction direction, spa_audio_format sampleFormat,
                         uint32_t channels)
{
    spa_audio_info_raw format{};
    format.format = sampleFormat;
    format.rate = 48000;
    format.channels = channels;
    if (channels == 1) {
        format.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        format.position[0] = SPA_AUDIO_CHANNEL_FL;
        format.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    pw_stream_connect(stream, direction, PW_ID_ANY,
                      pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                      PW_STREAM_FLAG_RT_PROCESS),
                      params, 1);
}

// A stream that failed ends the program's loop, with the reason on
// standard error.
inline bool streamFailed(const char* program, pw_main_loop* loop, pw_stream_state state, const char* error)
{
    if (state != PW_STREAM_STATE_ERROR)
        return false;
    std::fprintf(stderr, "%s: %s\n", program, error ? error : "stream failed");
    pw_main_loop_quit(loop);
    return true;
}

// The line a script waits for before it goes on.
inline void announce(const char* word)
{
    std::printf("%s\n", word);
    std::fflush(stdout);
}
