// When the track is really heard, on SDL's millisecond ticks. The mixer takes
// the track only with the device's next buffer, up to a buffer after it was
// told to play, and the sound server then holds that buffer a while before
// it is heard; both waits differ from run to run, the second from server to
// server.
#pragma once

#include <cstdint>

// Stamps, on the audio thread, the first buffer mixed after each
// expectMusicStart that holds the playing, unpaused track. Call once, with
// the mixer open.
void watchMusicStarts();

// The track is about to play from a new place: its start, a seek or a
// resume. A track that is paused now is expected when it is resumed.
void expectMusicStart();

// The ticks at which the sound of the last expected start leaves the sound
// server; false until the mixer has taken it.
bool musicHeardAt(uint32_t& ticks);

// Seconds by which the sound runs behind a clock that set the track going at
// tick `from`, at tick `now`. Until the start is heard it is all the time
// since `from`, so the pictures wait on the first sound.
float soundDelay(uint32_t from, uint32_t now);

// The track from `seconds` on, as Mix_SetMusicPosition takes it, with its
// start expected; paused music stays paused. False, with SDL's error set,
// when the mixer cannot seek.
bool playMusicFrom(double seconds);
// Mix_ResumeMusic, with the start expected.
void resumeMusic();
