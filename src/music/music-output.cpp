#include "music-output.h"
#include "output-backend.h"
#include "track.h"

#include <SDL2/SDL.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

OutputBackend backend;
// Never freed: the output's thread reads it until the process ends, after
// the exit handlers that would free a static one.
Track* track = nullptr;
// Where the last start put the track, as asked: a frame's worth of rounding
// would move a seek to a part's first bar into the bar before.
double startSeconds = 0;
bool paused = false;
bool heardByAnyone = false;

bool nobodyHears(const char* driver)
{
    return driver && (std::strcmp(driver, "dummy") == 0 || std::strcmp(driver, "disk") == 0);
}

double heardSeconds()
{
    if (!track)
        return 0;
    const double since = paused ? 0.0 : backend.framesHeard() / trackRate;
    return std::min(startSeconds + since, track->seconds);
}

void startAt(double seconds, bool pause)
{
    startSeconds = std::min(std::max(seconds, 0.0), track->seconds);
    paused = pause;
    const auto frame = static_cast<size_t>(std::lround(startSeconds * trackRate));
    backend.start(*track, std::min(frame, track->frames()), paused);
}

}  // namespace

// Without a sound server the track goes to ALSA's own device; SDL's output
// serves only the drivers that nobody hears, and a machine with no sound at
// all.
bool openMusicOutput()
{
    heardByAnyone = !nobodyHears(SDL_GetCurrentAudioDriver());
    if (!nobodyHears(SDL_GetCurrentAudioDriver()) &&
        (openPipewireOutput(backend) || openPulseOutput(backend) || openAlsaOutput(backend)))
        return true;
    return openSdlOutput(backend);
}

bool playTrack(const char* fileName, std::string& error)
{
    Track played;
    if (!loadTrack(fileName, played, error))
        return false;
    track = new Track(std::move(played));
    startAt(0, false);
    return true;
}

void playMusicFrom(double seconds)
{
    startAt(seconds, paused);
}

// The output drops what it holds but has not played, so the track resumes
// where it was heard to stop.
void pauseMusic()
{
    if (!paused)
        startAt(heardSeconds(), true);
}

void resumeMusic()
{
    if (paused)
        startAt(startSeconds, false);
}

bool musicPaused()
{
    return paused;
}

bool musicReachesAnyone()
{
    return heardByAnyone;
}

double musicHeardSeconds()
{
    return heardSeconds();
}

double musicSeconds()
{
    return track ? track->seconds : 0;
}

bool musicOver()
{
    return track && heardSeconds() >= track->seconds;
}
