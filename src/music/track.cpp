#include "track.h"
#include "regular-file.h"

#include <SDL2/SDL.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// Far more than any track of the demo's, and a bound on what a file can make
// the demo decode into memory.
const size_t maxFileBytes = size_t{64} << 20;
const double maxSeconds = 3600;

struct OpenedVorbis {
    OggVorbis_File file{};
    bool open = false;
    ~OpenedVorbis()
    {
        if (open)
            ov_clear(&file);
    }
};

using AudioStream = std::unique_ptr<SDL_AudioStream, decltype(&SDL_FreeAudioStream)>;

bool fail(std::string& error, const std::string& why)
{
    error = why;
    return false;
}

// Everything left in `stream` appended to the track.
void takeResampled(SDL_AudioStream* stream, Track& track)
{
    const int available = SDL_AudioStreamAvailable(stream);
    const size_t old = track.samples.size();
    track.samples.resize(old + static_cast<size_t>(available) / sizeof(int16_t));
    SDL_AudioStreamGet(stream, track.samples.data() + old, available);
}

}  // namespace

void copyFrames(const Track& track, size_t from, size_t frames, void* out)
{
    const size_t frameBytes = trackChannels * sizeof(int16_t);
    const size_t total = track.frames();
    const size_t available = from < total ? std::min(frames, total - from) : 0;
    auto* bytes = static_cast<unsigned char*>(out);
    std::memcpy(bytes, track.samples.data() + from * trackChannels, available * frameBytes);
    std::memset(bytes + available * frameBytes, 0, (frames - available) * frameBytes);
}

bool loadTrack(const char* fileName, Track& track, std::string& error)
{
    std::vector<unsigned char> bytes;
    if (isSpecialFile(fileName))
        return fail(error, "not a regular file");
    errno = 0;
    if (!readRegularFile(fileName, maxFileBytes, bytes))
        return fail(error, errno ? std::strerror(errno) : "larger than 64 MiB");

    // The decoder takes the file's bytes through a stream of its own and
    // closes it with ov_clear.
    FILE* memory = fmemopen(bytes.data(), bytes.size(), "rb");
    OpenedVorbis vorbis;
    if (!memory)
        return fail(error, std::strerror(errno));
    if (ov_open_callbacks(memory, &vorbis.file, nullptr, 0, OV_CALLBACKS_DEFAULT) != 0) {
        std::fclose(memory);
        return fail(error, "not an Ogg Vorbis track");
    }
    vorbis.open = true;
    const vorbis_info* info = ov_info(&vorbis.file, -1);
    const ogg_int64_t frames = ov_pcm_total(&vorbis.file, -1);
    if (!info || frames <= 0)
        return fail(error, "no sound in it");
    track.seconds = static_cast<double>(frames) / info->rate;
    if (track.seconds > maxSeconds)
        return fail(error, "longer than an hour");

    AudioStream stream(SDL_NewAudioStream(AUDIO_S16SYS, static_cast<Uint8>(info->channels), info->rate,
                                          AUDIO_S16SYS, trackChannels, trackRate),
                       SDL_FreeAudioStream);
    if (!stream)
        return fail(error, SDL_GetError());
    track.samples.clear();
    track.samples.reserve(static_cast<size_t>(track.seconds * trackRate + 1) * trackChannels);
    char buffer[16384];
    int section = 0;
    for (;;) {
        const long got = ov_read(&vorbis.file, buffer, sizeof buffer, 0, 2, 1, &section);
        if (got == 0)
            break;
        if (got == OV_HOLE)
            continue;
        if (got < 0)
            return fail(error, "the sound breaks off");
        // A chained file may change its format from one link to the next.
        const vorbis_info* link = ov_info(&vorbis.file, section);
        if (!link || link->rate != info->rate || link->channels != info->channels)
            return fail(error, "its parts differ in format");
        SDL_AudioStreamPut(stream.get(), buffer, static_cast<int>(got));
        takeResampled(stream.get(), track);
    }
    SDL_AudioStreamFlush(stream.get());
    takeResampled(stream.get(), track);
    return true;
}
