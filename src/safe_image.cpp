#include "safe_image.h"
#include "regular_file.h"

#include <stb_image.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
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
// divides it out, converting results far outside the sample range. Only its
// 8-bit path counts as ordinary; stbi_is_16_bit cannot tell the depth of a
// PSD file, as it never reads past the size fields, so the header is read here.
bool psdWithAlphaOrDeeperThan8Bits(const unsigned char* data, size_t size)
{
    if (!startsWith(data, size, "8BPS"))
        return false;
    return size < 24 || ((data[12] << 8) | data[13]) >= 4 || ((data[22] << 8) | data[23]) != 8;
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

// Calls `visit(type, bytes, length)` for each chunk of a PNG file up to IEND,
// walking the chunks as the decoder does; a chunk's bytes end at the file's.
template <typename Visit>
void forEachChunk(const unsigned char* data, size_t size, Visit visit)
{
    for (size_t at = 8; at + 8 <= size;) {
        const size_t length = bigEndian32(data + at);
        const std::string type(reinterpret_cast<const char*>(data + at + 4), 4);
        if (type == "IEND")
            return;
        visit(type, data + at + 8, std::min(length, size - at - 8), length);
        at += 12 + length;
    }
}

// The PNG decoder grows its buffer for an IDAT chunk to the chunk's declared
// length before it reads a byte, so a short file can ask for gigabytes; and
// when the first IDAT chunk is empty it copies nothing from a null pointer.
bool pngWithBadIDAT(const unsigned char* data, size_t size)
{
    bool first = true;
    bool bad = false;
    forEachChunk(data, size, [&](const std::string& type, const unsigned char*, size_t length, size_t declared) {
        if (type != "IDAT")
            return;
        bad = bad || (first && declared == 0) || length < declared;
        first = false;
    });
    return bad;
}

// The PNG decoder inflates all of the image data, however much more it is
// than the image's rows take, so a small file can expand to gigabytes. The
// data is inflated here first, only counted, and refused past twice the rows'
// bytes (Adam7 passes add less than that). A stream that zlib cannot inflate
// is refused as well, as the decoder's own inflater is no stricter.
bool pngInflatesPastItsRows(const unsigned char* data, size_t size, int width, int height)
{
    int samples = 0;
    int depth = 0;
    // Apple's CgBI variant stores raw deflate data; other files have a zlib
    // header, which raw inflation here skips.
    size_t header = 2;
    forEachChunk(data, size, [&](const std::string& type, const unsigned char* bytes, size_t length, size_t) {
        if (type == "IHDR" && length >= 10) {
            static const int samplesOfColourType[] = {1, 0, 3, 1, 2, 0, 4};
            depth = bytes[8];
            samples = bytes[9] <= 6 ? samplesOfColourType[bytes[9]] : 0;
        } else if (type == "CgBI") {
            header = 0;
        }
    });
    const size_t rowBytes = 1 + (size_t(width) * samples * depth + 7) / 8;
    const size_t limit = 2 * rowBytes * size_t(height) + 65536;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return true;
    unsigned char sink[1 << 15];
    size_t inflated = 0;
    int result = Z_OK;
    forEachChunk(data, size, [&](const std::string& type, const unsigned char* bytes, size_t length, size_t) {
        if (type != "IDAT")
            return;
        const size_t skipped = std::min(header, length);
        header -= skipped;
        stream.next_in = const_cast<unsigned char*>(bytes + skipped);
        stream.avail_in = uInt(length - skipped);
        while (result == Z_OK && inflated <= limit && stream.avail_in > 0) {
            stream.next_out = sink;
            stream.avail_out = sizeof sink;
            result = inflate(&stream, Z_NO_FLUSH);
            inflated += sizeof sink - stream.avail_out;
        }
    });
    inflateEnd(&stream);
    return inflated > limit || (result != Z_OK && result != Z_STREAM_END);
}

// Inputs found to crash the decoder, by fuzzing or otherwise.
bool knownDecoderFault(const unsigned char* data, size_t size)
{
    return refusedFormat(data, size) || psdWithAlphaOrDeeperThan8Bits(data, size) ||
           jpegWithOverfullHuffmanTable(data, size) || (isPNG(data, size) && pngWithBadIDAT(data, size));
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
    if (isPNG(data, size) && pngInflatesPastItsRows(data, size, w, h))
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
