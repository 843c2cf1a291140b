// Records an ALSA capture device (the loopback card's other end) as mono
// 16-bit samples at 48 kHz, the first channel of two, and where the device
// stood at each read:
//
//   loopback-capture DEVICE SAMPLES-FILE TIMES-FILE
//
// TIMES-FILE gets "<ns> <sample>" per read: the sample that the device took
// in at that moment, CLOCK_MONOTONIC, by the device's own time stamp. It opens
// the card first, so that a program played into the card's other end plays at
// this rate. "recording" goes to standard output once the device runs, and
// so does why it failed, beside it, for a test that reads it; SIGTERM or
// SIGINT ends it. An overrun ends it with an error: a gap would shift every
// later sample.
#include <alsa/asoundlib.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

volatile std::sig_atomic_t stopping = 0;

void stop(int)
{
    stopping = 1;
}

const unsigned rate = 48000;
const unsigned channels = 2;
// A long buffer: the recorder may wait on a busy machine, and the time stamp
// of each read says where the device stood whatever it held.
const unsigned bufferUs = 2000000;

// 0, or the error of the step that failed.
int configure(snd_pcm_t* pcm)
{
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    int error = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 0,
                                   bufferUs);
    if (error == 0)
        error = snd_pcm_sw_params_current(pcm, software);
    if (error == 0)
        error = snd_pcm_sw_params_set_tstamp_mode(pcm, software, SND_PCM_TSTAMP_ENABLE);
    if (error == 0)
        error = snd_pcm_sw_params_set_tstamp_type(pcm, software, SND_PCM_TSTAMP_TYPE_MONOTONIC);
    if (error == 0)
        error = snd_pcm_sw_params(pcm, software);
    return error == 0 ? snd_pcm_start(pcm) : error;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: loopback-capture DEVICE SAMPLES-FILE TIMES-FILE\n");
        return 1;
    }
    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    snd_pcm_t* pcm = nullptr;
    int error = snd_pcm_open(&pcm, argv[1], SND_PCM_STREAM_CAPTURE, 0);
    if (error == 0)
        error = configure(pcm);
    if (error < 0) {
        std::fprintf(stderr, "loopback-capture: cannot record %s: %s\n", argv[1], snd_strerror(error));
        return 1;
    }
    FILE* samples = std::fopen(argv[2], "wb");
    FILE* times = std::fopen(argv[3], "w");
    if (!samples || !times) {
        std::fprintf(stderr, "loopback-capture: cannot write %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    std::printf("recording\n");
    std::fflush(stdout);
    const snd_pcm_uframes_t frames = 1024;
    std::vector<int16_t> buffer(frames * channels);
    std::vector<int16_t> left(frames);
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    long long taken = 0;
    while (!stopping) {
        const snd_pcm_sframes_t read = snd_pcm_readi(pcm, buffer.data(), frames);
        if (read < 0) {
            if (stopping && read == -EINTR)
                break;
            std::printf("loopback-capture: %s\n", snd_strerror(int(read)));
            return 1;
        }
        taken += read;
        for (snd_pcm_sframes_t i = 0; i < read; ++i)
            left[size_t(i)] = buffer[size_t(i) * channels];
        std::fwrite(left.data(), sizeof(int16_t), size_t(read), samples);
        // What the device has taken in but not yet handed over lies ahead of
        // what was read.
        if (snd_pcm_status(pcm, status) == 0) {
            snd_htimestamp_t stamp{};
            snd_pcm_status_get_htstamp(status, &stamp);
            std::fprintf(times, "%lld %lld\n", (long long)stamp.tv_sec * 1000000000 + stamp.tv_nsec,
                         taken + (long long)snd_pcm_status_get_delay(status));
        }
    }
    std::fclose(samples);
    std::fclose(times);
    snd_pcm_close(pcm);
    return 0;
}
