#include "readback.h"

// Three frames in flight: one being drawn and read, the one before it being
// mapped, and the one before that still being sent; a buffer is read into
// again only once its frame has been sent and let go.
static const size_t ringSize = 3;

Readback startReadback(int width, int height)
{
    Readback readback;
    readback.width = width;
    readback.height = height;
    readback.frameBytes = static_cast<size_t>(width) * height * 4;
    readback.buffers.resize(ringSize);
    glCreateBuffers(static_cast<GLsizei>(ringSize), readback.buffers.data());
    for (GLuint buffer : readback.buffers)
        glNamedBufferStorage(buffer, static_cast<GLsizeiptr>(readback.frameBytes), nullptr,
                             GL_MAP_READ_BIT);
    return readback;
}

static GLuint bufferOf(const Readback& readback, long frame)
{
    return readback.buffers[static_cast<size_t>(frame) % readback.buffers.size()];
}

void queueFrame(Readback& readback)
{
    glBindBuffer(GL_PIXEL_PACK_BUFFER, bufferOf(readback, readback.queued));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, readback.width, readback.height, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                 nullptr);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    ++readback.queued;
}

bool frameReady(const Readback& readback, bool draining)
{
    long waiting = readback.queued - readback.taken;
    return draining ? waiting > 0 : waiting >= static_cast<long>(readback.buffers.size()) - 1;
}

const uint32_t* takeFrame(Readback& readback)
{
    releaseFrames(readback);
    GLuint buffer = bufferOf(readback, readback.taken);
    ++readback.taken;
    return static_cast<const uint32_t*>(glMapNamedBufferRange(
        buffer, 0, static_cast<GLsizeiptr>(readback.frameBytes), GL_MAP_READ_BIT));
}

void releaseFrames(Readback& readback)
{
    if (readback.taken > 0)
        glUnmapNamedBuffer(bufferOf(readback, readback.taken - 1));
}
