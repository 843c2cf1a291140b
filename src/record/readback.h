// Reads the rendered frames back through a ring of pixel-pack buffers. Each
// frame's read is queued behind its drawing and its pixels are taken a few
// frames later, so the GL renders the next frames while the CPU hands the
// older ones on, instead of the two waiting for each other every frame.
#pragma once

#include <glad/gl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

struct Readback {
    int width = 0;
    int height = 0;
    size_t frameBytes = 0;
    std::vector<GLuint> buffers;
    long queued = 0;  // frames whose read has been queued
    long taken = 0;   // frames handed out by takeFrame
};

// A ring for frames of this size, read as BGRA in words with blue in the low
// byte (what the GL keeps, so the read is a copy rather than a conversion).
Readback startReadback(int width, int height);

// Queues the read of the frame just drawn into the default framebuffer.
void queueFrame(Readback& readback);

// Whether a frame may be taken: one queued before the latest, or any queued
// one when `draining` at the end.
bool frameReady(const Readback& readback, bool draining);

// Lets go of the frame taken before and maps the oldest queued frame's pixels
// (rows bottom-up), which stay valid until the next takeFrame or releaseFrames.
// Call it only once the previous frame's pixels are no longer in use.
const uint32_t* takeFrame(Readback& readback);

// Lets go of the last frame taken.
void releaseFrames(Readback& readback);
