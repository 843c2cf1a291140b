// The scene's sound output on the page: the track's file handed to
// web-audio.js, which has the browser fetch and decode it off the page's
// thread. A file that gives no track is said on the page when the browser
// has tried, as the desktop says it at start.
#include "music-output.h"
#include "web-audio.h"

#include <emscripten.h>

EM_JS(void, useTrack, (const char* fileName), { Module.audio.use(UTF8ToString(fileName)); });
EM_JS(double, heardSecondsAt, (double performanceMs), { return Module.audio.heardAt(performanceMs); });
EM_JS(bool, trackHeardToItsEnd, (), { return Module.audio.over(performance.now()); });

bool playTrack(const char* fileName, std::string&)
{
    useTrack(fileName);
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
