// The track played through Web Audio. Besides what the scene asks of every
// sound output (music-output.h), the page asks where the track is heard at
// the moment a frame will be seen.
#pragma once

// The place in the track heard at `performanceMs`, a time on the page's
// clock (performance.now()), in seconds: where the track was started from
// until its first sample is heard.
double musicHeardSecondsAt(double performanceMs);
