// The track played on the sound output, and the place in it that is heard
// now, which the pictures follow. Where a sound server runs (PulseAudio, or
// PipeWire's pulse server) the track plays through it, and the place heard is
// what the server reports for its stream, the sink's own latency included, so
// that slow sinks, a change of the server's quantum and an underrun are
// followed as they happen. Where SDL's audio driver is one that nobody hears
// (dummy, disk) it plays through SDL, and the place heard runs on SDL's ticks
// from the first buffer that SDL takes.
#pragma once

#include <string>

// Opens the output with SDL's audio subsystem initialised; false, with SDL's
// error set, when there is none.
bool openMusicOutput();

// Plays the Ogg Vorbis track `fileName` from its start; false, with why in
// `error`, when it cannot be read or decoded.
bool playTrack(const char* fileName, std::string& error);

// The track from `seconds`, heard from the output's next buffer on; a paused
// track stays paused there.
void playMusicFrom(double seconds);
void pauseMusic();
void resumeMusic();
bool musicPaused();
// False where SDL's driver is one that nobody hears: there the place heard
// is only SDL's count of what it took, with no moment a person hears it.
bool musicReachesAnyone();

// The place in the track heard now, in seconds from its start.
double musicHeardSeconds();
double musicSeconds();
// The last sample has been heard.
bool musicOver();
