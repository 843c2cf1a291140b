// The ffmpeg program, fed raw frames through a pipe, encodes them and lays
// the track under them.
#pragma once

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

struct Encoder {
    pid_t pid = -1;
    int input = -1;
};

// Starts ffmpeg for frames of the options' size and rate in the planes of
// toVideoPlanes, writing into the existing file `path`; ends the
// process with a message if it cannot start.
Encoder startEncoder(const Options& options, const std::string& path);

// False once ffmpeg has stopped reading, having failed.
bool sendFrame(Encoder& encoder, const uint8_t* pixels, size_t size);

// Puts the calling thread, and what it starts, at the lowest priority. The
// conversion, the pipe and ffmpeg then take the cores only when llvmpipe's
// rendering threads leave them: they have a few frames' time, while a
// rendering thread that loses its core holds back the whole pass.
void giveWayToRendering();

// Closes the pipe and waits for ffmpeg; ends the process with a message
// unless it finished the file.
void finishEncoder(Encoder& encoder);
