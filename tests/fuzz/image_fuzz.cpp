// libFuzzer target for the guarded image loader, with the decoder compiled in
// so that the sanitizers see inside it.
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#include "safe-image.h"

#include <cstdint>

// As large a side as GLs offer, so that the limits left are the loader's own.
static const int maxSide = 16384;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int width = 0;
    int height = 0;
    unsigned char* pixels = decodeImage(data, size, maxSide, width, height);
    if (pixels) {
        // The last byte of the image proves the buffer is as large as it claims.
        volatile unsigned char last = pixels[size_t(width) * height * 4 - 1];
        (void)last;
        stbi_image_free(pixels);
    }
    return 0;
}
