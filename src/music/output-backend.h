// What each sound output does for music-output.cpp.
#pragma once

#include "track.h"

#include <cstddef>

struct OutputBackend {
    // Plays `track` from frame `from`, or holds there while `paused`.
    void (*start)(const Track& track, size_t from, bool paused);
    // The frames of the track heard so far, counted from the last start's
    // frame; 0 until its first buffer is heard.
    double (*framesHeard)();
};

// Connects to PipeWire where it plays the desktop's sound; false when it
// does not run or has no sink.
bool openPipewireOutput(OutputBackend& backend);
// Connects to the sound server; false when none answers.
bool openPulseOutput(OutputBackend& backend);
// alsa-lib's "default" device; false when it cannot be opened.
bool openAlsaOutput(OutputBackend& backend);
// SDL's audio device; false, with SDL's error set, when it cannot be opened.
bool openSdlOutput(OutputBackend& backend);
