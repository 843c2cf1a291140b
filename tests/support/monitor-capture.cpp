// Records a sound server's source (a sink's monitor) through the pulse
// protocol as mono 16-bit samples at 48 kHz, and when each read returned:
//
//   monitor-capture SOURCE SAMPLES-FILE TIMES-FILE
//
// TIMES-FILE gets "<ns> <samples before this read>" per read, the time on
// CLOCK_MONOTONIC. "recording" goes to standard output once the stream is
// up; SIGTERM or SIGINT ends it.
#include <pulse/error.h>
#include <pulse/simple.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace {

volatile std::sig_atomic_t stopping = 0;

void stop(int)
{
    stopping = 1;
}

int64_t nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: monitor-capture SOURCE SAMPLES-FILE TIMES-FILE\n");
        return 1;
    }
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    // Reads of 256 frames (5.3 ms), and a server asked to hand them over as
    // soon as it has them, so that a read returns close to when its samples
    // left the sink.
    const int frames = 256;
    const pa_sample_spec spec{PA_SAMPLE_S16LE, 48000, 1};
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.fragsize = frames * 2;
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "monitor-capture", PA_STREAM_RECORD, argv[1], "monitor",
                                      &spec, nullptr, &attributes, &error);
    if (!stream) {
        std::fprintf(stderr, "monitor-capture: cannot record %s: %s\n", argv[1], pa_strerror(error));
        return 1;
    }
    FILE* samples = std::fopen(argv[2], "wb");
    FILE* times = std::fopen(argv[3], "w");
    if (!samples || !times) {
        std::fprintf(stderr, "monitor-capture: cannot write %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    int16_t buffer[frames];
    long long taken = 0;
    while (!stopping) {
        if (pa_simple_read(stream, buffer, sizeof buffer, &error) < 0) {
            if (stopping)
                break;
            std::fprintf(stderr, "monitor-capture: %s\n", pa_strerror(error));
            return 1;
        }
        std::fprintf(times, "%lld %lld\n", static_cast<long long>(nanoseconds()), taken);
        std::fwrite(buffer, sizeof buffer, 1, samples);
        taken += frames;
    }
    std::fclose(samples);
    std::fclose(times);
    pa_simple_free(stream);
    return 0;
}
