// A read-back picture turned into the three planes of 4:2:0 video, which the
// encoder takes as they are. ffmpeg 5.1 took about 6.5 ms of a core to
// convert a 1080p frame from BGRA here, this about 2 ms, and it runs beside
// the drawing of the next frames; what is piped is then 1.5 bytes a pixel
// instead of 4.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of the planes of a picture of this size: Y, then Cb, then Cr.
size_t videoPlaneBytes(int width, int height);

// Converts BGRA pixels packed in words, blue in the low byte, rows bottom-up
// as the GL reads them, into `planes` (videoPlaneBytes long) in ffmpeg's
// yuv420p layout, rows top-down: BT.709 in studio range (Y 16 to 235, Cb and
// Cr 16 to 240), each chroma sample sited on the left of its two columns and
// between its two rows, as H.264 and VP9 expect. Both sides must be even.
void toVideoPlanes(const uint32_t* bgra, int width, int height, uint8_t* planes);
