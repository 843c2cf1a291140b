// The ffmpeg program, fed raw frames through a pipe, encodes them and lays
// the track under them.
#pragma once

#include "options.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct Encoder {
    pid_t pid = -1;
    int input = -1;
    // Buffers for the frames' planes, taken in turn. A frame is lent to the
    // pipe, not copied into it, so its buffer is filled again only once the
    // frames sent after it add up to a pipe's worth: by then ffmpeg has read
    // it, as the pipe cannot hold it and them together.
    std::vector<std::vector<uint8_t>> frames;
    size_t nextFrame = 0;
};

// Starts ffmpeg for frames of the options' size and rate in the planes of
// toVideoPlanes, writing into the existing file `path`; ends the
// process with a message if it cannot start.
Encoder startEncoder(const Options& options, const std::string& path);

// The buffer to fill with the next frame's planes (videoPlaneBytes long).
uint8_t* frameToFill(Encoder& encoder);

// Sends the frame filled in the buffer that frameToFill gave last. False once
// ffmpeg has stopped reading, having failed.
bool sendFrame(Encoder& encoder);

// Puts the calling thread, and what it starts, at the lowest priority. The
// conversion, the pipe and ffmpeg then take the cores only when llvmpipe's
// rendering threads leave them: they have a few frames' time, while a
// rendering thread that loses its core holds back the whole pass.
void giveWayToRendering();

// Closes the pipe and waits for ffmpeg; ends the process with a message
// unless it finished the file.
void finishEncoder(Encoder& encoder);
