#include "safe-image.h"
#include "regular-file.h"

#include <stb_image.h>
#ifndef __EMSCRIPTEN__
#include <zlib.h>
#endif

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// Bytes read the way the decoder reads them: zero past the end.
struct Reader {
    const unsigned char* data;
    size_t size;
    size_t at = 0;

    int byte() { return at < size ? data[at++] : 0; }
    int word() { return (byte() << 8) | byte(); }
    void skip(size_t count) { at += count; }
    bool atEnd() const { return at >= size; }
};

const int noMarker = 0xFF;

// The next marker where the decoder looks for one: fill bytes are skipped,
// and anything but FF there is no marker.
int nextMarker(Reader& in)
{
    int x = in.byte();
    if (x != 0xFF)
        return noMarker;
    while (x == 0xFF)
        x = in.byte();
    return x;
}

enum class Segment { Read, Fault, Stop };

// A segment the JPEG decoder reads between the start of the image and its
// scans. The decoder takes a Huffman table's sixteen code counts on trust and
// writes as many symbols as they add up to into room for 256. Whatever it
// would refuse stops the walk, as the decoder then stops too.
Segment readSegment(Reader& in, int marker, bool huffman[2][4])
{
    if (marker == 0xDD) {
        if (in.word() != 4)
            return Segment::Stop;
        in.skip(2);
        return Segment::Read;
    }
    if (marker == 0xDB || marker == 0xC4) {
        long left = in.word() - 2;
        while (left > 0) {
            const int which = in.byte();
            const int kind = which >> 4;
            const int table = which & 15;
            if (kind > 1 || table > 3)
                return Segment::Stop;
            if (marker == 0xDB) {
                in.skip(kind ? 128 : 64);
                left -= kind ? 129 : 65;
                continue;
            }
            int symbols = 0;
            for (int i = 0; i < 16; ++i)
                symbols += in.byte();
            if (symbols > 256)
                return Segment::Fault;
            in.skip(size_t(symbols));
            huffman[kind][table] = true;
            left -= 17 + symbols;
        }
        return left == 0 ? Segment::Read : Segment::Stop;
    }
    if ((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE) {
        const int length = in.word();
        if (length < 2)
            return Segment::Stop;
        in.skip(size_t(length - 2));
        return Segment::Read;
    }
    return Segment::Stop;
}

// Moves past a scan's entropy-coded data to the marker that ends it; stuffed
// zeros and restart markers belong to the data.
void skipEntropyCodedData(Reader& in)
{
    for (; !in.atEnd(); ++in.at) {
        if (in.data[in.at] != 0xFF)
            continue;
        size_t next = in.at + 1;
        while (next < in.size && in.data[next] == 0xFF)
            ++next;
        if (next < in.size && in.data[next] != 0 && (in.data[next] < 0xD0 || in.data[next] > 0xD7))
            return;
        in.at = next;
    }
}

// Walks a JPEG file as the decoder does and tells whether it would build an
// overfull Huffman table, or decode a scan with a table that no segment read
// so far defined: the decoder leaves its tables uninitialised and then
// indexes with whatever they hold.
bool jpegDecoderFault(const unsigned char* data, size_t size)
{
    Reader in{data, size};
    if (nextMarker(in) != 0xD8)
        return false;
    bool huffman[2][4] = {};
    int marker = nextMarker(in);
    while (marker != 0xC0 && marker != 0xC1 && marker != 0xC2) {
        Segment segment = readSegment(in, marker, huffman);
        if (segment != Segment::Read)
            return segment == Segment::Fault;
        // Padding between these segments is skipped a byte at a time.
        marker = nextMarker(in);
        while (marker == noMarker && !in.atEnd())
            marker = nextMarker(in);
    }
    const bool progressive = marker == 0xC2;
    const int frameLength = in.word();
    in.skip(5);
    const int components = in.byte();
    if ((components != 1 && components != 3 && components != 4) || frameLength != 8 + 3 * components)
        return false;
    std::vector<int> ids;
    for (int i = 0; i < components; ++i) {
        ids.push_back(in.byte());
        in.skip(2);
    }
    for (marker = nextMarker(in); marker != 0xD9; marker = nextMarker(in)) {
        if (marker == 0xDC) {
            in.skip(4);
            continue;
        }
        if (marker != 0xDA) {
            Segment segment = readSegment(in, marker, huffman);
            if (segment != Segment::Read)
                return segment == Segment::Fault;
            continue;
        }
        const int length = in.word();
        const int count = in.byte();
        if (count < 1 || count > components || length != 6 + 2 * count)
            return false;
        std::vector<int> tables;
        for (int i = 0; i < count; ++i) {
            const int id = in.byte();
            tables.push_back(in.byte());
            if (std::find(ids.begin(), ids.end(), id) == ids.end() || (tables.back() >> 4) > 3 ||
                (tables.back() & 15) > 3)
                return false;
        }
        const int start = in.byte();
        const int end = in.byte();
        const int approximation = in.byte();
        const int high = approximation >> 4;
        const int low = approximation & 15;
        if (progressive ? start > 63 || end > 63 || start > end || high > 13 || low > 13
                        : start != 0 || high != 0 || low != 0)
            return false;
        // A progressive scan takes the DC table only for a first DC pass and
        // the AC table only for AC passes; a sequential scan takes both.
        const bool dc = !progressive || (start == 0 && high == 0);
        const bool ac = !progressive || start != 0;
        for (int both : tables)
            if ((dc && !huffman[0][both >> 4]) || (ac && !huffman[1][both & 15]))
                return true;
        skipEntropyCodedData(in);
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

#ifdef __EMSCRIPTEN__
// The web page has no zlib (emscripten fetches its own at build time, from
// the network), so the decoder's own inflater counts, into a buffer as large
// as the limit.
bool inflatesPast(const std::vector<unsigned char>& deflated, size_t limit)
{
    if (deflated.size() > size_t(INT_MAX) || limit >= size_t(INT_MAX))
        return true;
    std::unique_ptr<char, decltype(&std::free)> out(static_cast<char*>(std::malloc(limit + 1)), std::free);
    return !out || stbi_zlib_decode_noheader_buffer(out.get(), static_cast<int>(limit + 1),
                                                    reinterpret_cast<const char*>(deflated.data()),
                                                    static_cast<int>(deflated.size())) < 0;
}
#else
// Inflated into a small sink and only counted.
bool inflatesPast(const std::vector<unsigned char>& deflated, size_t limit)
{
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return true;
    stream.next_in = const_cast<unsigned char*>(deflated.data());
    stream.avail_in = uInt(deflated.size());
    unsigned char sink[1 << 15];
    size_t inflated = 0;
    int result = Z_OK;
    while (result == Z_OK && inflated <= limit && stream.avail_in > 0) {
        stream.next_out = sink;
        stream.avail_out = sizeof sink;
        result = inflate(&stream, Z_NO_FLUSH);
        inflated += sizeof sink - stream.avail_out;
    }
    inflateEnd(&stream);
    return inflated > limit || (result != Z_OK && result != Z_STREAM_END);
}
#endif

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
    std::vector<unsigned char> deflated;
    forEachChunk(data, size, [&](const std::string& type, const unsigned char* bytes, size_t length, size_t) {
        if (type != "IDAT")
            return;
        const size_t skipped = std::min(header, length);
        header -= skipped;
        deflated.insert(deflated.end(), bytes + skipped, bytes + length);
    });
    return inflatesPast(deflated, 2 * rowBytes * size_t(height) + 65536);
}

// Inputs found to crash the decoder, by fuzzing or otherwise.
bool knownDecoderFault(const unsigned char* data, size_t size)
{
    return refusedFormat(data, size) || psdWithAlphaOrDeeperThan8Bits(data, size) ||
           jpegDecoderFault(data, size) || (isPNG(data, size) && pngWithBadIDAT(data, size));
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
