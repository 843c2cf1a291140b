// The scene's sound output on the page: the track's file handed to the
// browser's own decoder, which decodes it off the page's thread, and played
// by web-audio.js once the page may make sound.
#include "music-output.h"
#include "regular-file.h"
#include "web-audio.h"

#include <emscripten.h>

#include <cerrno>
#include <cstring>
#include <vector>

EM_JS(void, decodeTrack, (const unsigned char* bytes, int size),
      { Module.audio.decode(HEAPU8.slice(bytes, bytes + size).buffer); });
EM_JS(double, heardSecondsAt, (double performanceMs), { return Module.audio.heardAt(performanceMs); });
EM_JS(bool, trackHeardToItsEnd, (), { return Module.audio.over(performance.now()); });

// The browser's decoder takes no more than the desktop's.
static const size_t maxFileBytes = size_t(64) << 20;

bool playTrack(const char* fileName, std::string& error)
{
    std::vector<unsigned char> bytes;
    if (isSpecialFile(fileName)) {
        error = "not a regular file";
        return false;
    }
    errno = 0;
    if (!readRegularFile(fileName, maxFileBytes, bytes)) {
        error = errno ? std::strerror(errno) : "larger than 64 MiB";
        return false;
    }
    decodeTrack(bytes.data(), static_cast<int>(bytes.size()));
    return true;
}

double musicHeardSecondsAt(double performanceMs)
{
    return heardSecondsAt(performanceMs);
}

bool musicOver()
{
    return trackHeardToItsEnd();
}
