#include "safe_image.h"
#include "regular_file.h"

#include <stb_image.h>

#include <climits>
#include <cstring>
#include <vector>

namespace {

bool startsWith(const unsigned char* data, size_t size, const char* magic)
{
    size_t length = std::strlen(magic);
    return size >= length && std::memcmp(data, magic, length) == 0;
}

// stb_image picks its decoder by the first bytes. Its PNM decoder reads out
// of bounds on 16-bit files, and the Radiance HDR and Softimage PIC decoders
// are no ordinary image's way in: none of the three is used.
bool refusedFormat(const unsigned char* data, size_t size)
{
    return startsWith(data, size, "P5") || startsWith(data, size, "P6") ||
           startsWith(data, size, "#?RADIANCE\n") || startsWith(data, size, "#?RGBE\n") ||
           startsWith(data, size, "\x53\x80\xF6\x34");
}

// The PSD decoder takes a fourth channel for alpha over a white matte and
// divides it out, converting results far outside the sample range.
bool psdWithAlpha(const unsigned char* data, size_t size)
{
    return startsWith(data, size, "8BPS") && size >= 14 && ((data[12] << 8) | data[13]) >= 4;
}

bool isPNG(const unsigned char* data, size_t size)
{
    return startsWith(data, size, "\x89PNG\r\n\x1a\n");
}

bool withinLimits(int width, int height, int maxSide)
{
    return width > 0 && height > 0 && width <= maxSide && height <= maxSide &&
           size_t(width) * size_t(height) <= maxImagePixels;
}

}  // namespace

unsigned char* decodeImage(const unsigned char* data, size_t size, int maxSide, int& width, int& height)
{
    if (size > size_t(INT_MAX) || refusedFormat(data, size) || psdWithAlpha(data, size))
        return nullptr;
    const int length = static_cast<int>(size);
    int w = 0;
    int h = 0;
    int channels = 0;
    if (!stbi_info_from_memory(data, length, &w, &h, &channels) || !withinLimits(w, h, maxSide))
        return nullptr;
    // Only the PNG decoder is trusted with 16-bit samples.
    if (stbi_is_16_bit_from_memory(data, length) && !isPNG(data, size))
        return nullptr;
    unsigned char* pixels = stbi_load_from_memory(data, length, &w, &h, nullptr, 4);
    if (pixels && !withinLimits(w, h, maxSide)) {
        stbi_image_free(pixels);
        pixels = nullptr;
    }
    if (pixels) {
        width = w;
        height = h;
    }
    return pixels;
}

unsigned char* loadImage(const char* fileName, int maxSide, int& width, int& height)
{
    // No image within the pixel budget takes more than 16 bytes a pixel, even
    // stored without compression.
    std::vector<unsigned char> bytes;
    if (!readRegularFile(fileName, 16 * maxImagePixels, bytes))
        return nullptr;
    return decodeImage(bytes.data(), bytes.size(), maxSide, width, height);
}
