#include "safe_image.h"
#include "regular_file.h"

#include <stb_image.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

bool startsWith(const unsigned char* data, size_t size, const char* magic)
{
    size_t length = std::strlen(magic);
    return size >= length && std::memcmp(data, magic, length) == 0;
}

bool isPNG(const unsigned char* data, size_t size)
{
    return startsWith(data, size, "\x89PNG\r\n\x1a\n");
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

// The JPEG decoder takes a Huffman table's sixteen code counts on trust and
// writes as many symbols as they add up to into room for 256. The decoder
// finds a table wherever FF C4 stands, fill bytes before the C4 included, so
// every such place is read as a table segment, missing bytes as zero.
bool jpegWithOverfullHuffmanTable(const unsigned char* data, size_t size)
{
    // The decoder's start marker: fill bytes, then D8.
    size_t start = 0;
    while (start < size && data[start] == 0xFF)
        ++start;
    if (start == 0 || start == size || data[start] != 0xD8)
        return false;
    auto byte = [&](size_t at) -> int { return at < size ? data[at] : 0; };
    for (size_t marker = 0; marker + 1 < size; ++marker) {
        if (data[marker] != 0xFF || data[marker + 1] != 0xC4)
            continue;
        size_t at = marker + 2;
        long left = ((byte(at) << 8) | byte(at + 1)) - 2;
        at += 2;
        while (left > 0 && at < size) {
            int table = byte(at++);
            if ((table >> 4) > 1 || (table & 15) > 3)
                break;
            int symbols = 0;
            for (int i = 0; i < 16; ++i)
                symbols += byte(at++);
            if (symbols > 256)
                return true;
            at += size_t(symbols);
            left -= 17 + symbols;
        }
    }
    return false;
}

uint32_t bigEndian32(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// The PNG decoder copies the first IDAT chunk's bytes to a buffer it has yet
// to allocate when that chunk is empty: a copy of nothing from a null pointer.
bool pngWithEmptyFirstIDAT(const unsigned char* data, size_t size)
{
    if (!isPNG(data, size))
        return false;
    for (size_t chunk = 8; chunk + 8 <= size;) {
        uint32_t length = bigEndian32(data + chunk);
        if (std::memcmp(data + chunk + 4, "IDAT", 4) == 0)
            return length == 0;
        if (std::memcmp(data + chunk + 4, "IEND", 4) == 0)
            return false;
        chunk += 12 + size_t(length);
    }
    return false;
}

// Inputs found to crash the decoder, by fuzzing or otherwise.
bool knownDecoderFault(const unsigned char* data, size_t size)
{
    return refusedFormat(data, size) || psdWithAlpha(data, size) ||
           jpegWithOverfullHuffmanTable(data, size) || pngWithEmptyFirstIDAT(data, size);
}

bool withinLimits(int width, int height, int maxSide)
{
    return width > 0 && height > 0 && width <= maxSide && height <= maxSide &&
           size_t(width) * size_t(height) <= maxImagePixels;
}

}  // namespace

unsigned char* decodeImage(const unsigned char* data, size_t size, int maxSide, int& width, int& height)
{
    if (size > size_t(INT_MAX) || knownDecoderFault(data, size))
        return nullptr;
    const int length = static_cast<int>(size);
    int w = 0;
    int h = 0;
    int channels = 0;
    if (!stbi_info_from_memory(data, length, &w, &h, &channels) || !withinLimits(w, h, maxSide))
        return nullptr;
    // Only the PNG decoder is trusted with 16-bit samples.
    if (!isPNG(data, size) && stbi_is_16_bit_from_memory(data, length))
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
