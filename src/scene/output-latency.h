// How long a sound server holds a buffer of the mixer before its first sample
// is heard, for the audio driver SDL picked.
#pragma once

// Milliseconds from SDL taking a buffer of `frames` frames at `rate` Hz from
// the mixer to its first sample leaving the sound server, for SDL's audio
// driver `driver` (as SDL_GetCurrentAudioDriver names it).
int outputLatencyMilliseconds(const char* driver, int frames, int rate);
