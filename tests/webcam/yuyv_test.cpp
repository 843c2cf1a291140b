#include "yuyv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Pair {
    std::array<uint8_t, 4> yuyv;
    std::array<uint8_t, 6> rgb;
};

// Worked values of the conversion formulas, computed by hand.
const Pair worked_values[] = {
    {{128, 128, 128, 128}, {128, 128, 128, 128, 128, 128}},
    {{255, 128, 0, 128}, {255, 255, 255, 0, 0, 0}},
    {{128, 0, 128, 0}, {0, 255, 0, 0, 255, 0}},
    {{0, 255, 0, 255}, {190, 0, 255, 190, 0, 255}},
    {{100, 127, 100, 127}, {98, 102, 97, 98, 102, 97}},
    {{200, 100, 50, 200}, {255, 157, 143, 158, 7, 0}},
};

std::string name_of(const YuyvPath& path)
{
    return std::string("conversion path ") + path.name;
}

// The paths that must equal the reference, the reference itself left out.
std::vector<YuyvPath> faster_paths()
{
    std::vector<YuyvPath> paths = yuyv_paths();
    paths.erase(std::remove_if(paths.begin(), paths.end(),
                               [](const YuyvPath& p) { return p.convert == yuyv_to_rgb24_reference; }),
                paths.end());
    return paths;
}

Bytes random_bytes(size_t n, std::mt19937& rng)
{
    Bytes b(n);
    for (auto& x : b)
        x = static_cast<uint8_t>(rng());
    return b;
}

Bytes convert(YuyvConverter convert, const Bytes& src, int width, int height, int stride)
{
    Bytes rgb(3 * static_cast<size_t>(width) * height);
    convert(src.data(), rgb.data(), width, height, stride);
    return rgb;
}

// Long rows of the same group, so the vector loops see the values too.
TEST(Yuyv, WorkedValues)
{
    const int pairs = 75;
    for (const auto& path : yuyv_paths()) {
        for (const auto& value : worked_values) {
            Bytes src;
            for (int i = 0; i < pairs; ++i)
                src.insert(src.end(), value.yuyv.begin(), value.yuyv.end());
            const Bytes rgb = convert(path.convert, src, 2 * pairs, 1, 4 * pairs);
            for (int i = 0; i < pairs; ++i)
                ASSERT_TRUE(std::equal(value.rgb.begin(), value.rgb.end(), rgb.begin() + 6 * i))
                    << name_of(path) << ", input " << int(value.yuyv[0]) << "," << int(value.yuyv[1]) << ","
                    << int(value.yuyv[2]) << "," << int(value.yuyv[3]) << ", pair " << i;
        }
    }
}

TEST(Yuyv, NeutralChromaGivesTheLumaAsGrey)
{
    Bytes src;
    for (int y = 0; y < 256; ++y)
        src.insert(src.end(), {uint8_t(y), 128, uint8_t(255 - y), 128});
    for (const auto& path : yuyv_paths()) {
        const Bytes rgb = convert(path.convert, src, 512, 1, 1024);
        for (int y = 0; y < 256; ++y) {
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(rgb[6 * y + c], y) << name_of(path);
                ASSERT_EQ(rgb[6 * y + 3 + c], 255 - y) << name_of(path);
            }
        }
    }
}

// Each frame holds one U: a row per V, a group per Y0 with Y1 = 255 - Y0,
// so every (Y, U, V) reaches both pixels of a pair.
TEST(Yuyv, EveryPathEqualsTheReferenceForEveryInput)
{
    const int width = 512, height = 256, stride = 2 * width;
    const auto paths = faster_paths();
    Bytes src(static_cast<size_t>(stride) * height);
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            for (int y = 0; y < 256; ++y) {
                uint8_t* group = &src[static_cast<size_t>(v) * stride + 4 * y];
                group[0] = uint8_t(y);
                group[1] = uint8_t(u);
                group[2] = uint8_t(255 - y);
                group[3] = uint8_t(v);
            }
        }
        const Bytes expected = convert(yuyv_to_rgb24_reference, src, width, height, stride);
        for (const auto& path : paths)
            ASSERT_EQ(convert(path.convert, src, width, height, stride), expected) << name_of(path) << ", U " << u;
    }
}

// The padding after each row must neither reach the output nor shift rows.
TEST(Yuyv, RowPaddingIsSkipped)
{
    std::mt19937 rng(1);
    const int widths[] = {2, 6, 30, 64, 66, 300, 302, 640, 1922};
    for (const auto& path : yuyv_paths()) {
        for (int width : widths) {
            const int height = 7, stride = 2 * width + 2 * int(rng() % 40 + 1);
            Bytes src = random_bytes(static_cast<size_t>(stride) * height, rng);
            Bytes packed;
            for (int line = 0; line < height; ++line)
                packed.insert(packed.end(), src.begin() + line * stride, src.begin() + line * stride + 2 * width);
            const Bytes expected = convert(yuyv_to_rgb24_reference, packed, width, height, 2 * width);
            EXPECT_EQ(convert(path.convert, src, width, height, stride), expected)
                << name_of(path) << ", width " << width << ", stride " << stride;

            for (int line = 0; line < height; ++line)
                for (int i = 2 * width; i < stride; ++i)
                    src[line * stride + i] = static_cast<uint8_t>(rng());
            EXPECT_EQ(convert(path.convert, src, width, height, stride), expected)
                << name_of(path) << ", width " << width << " with other padding";
        }
    }
}

TEST(Yuyv, RandomFramesEqualTheReference)
{
    std::mt19937 rng(2);
    const auto paths = faster_paths();
    for (int round = 0; round < 200; ++round) {
        const int width = int(rng() % 700) + 1, height = int(rng() % 9) + 1;
        const int stride = 2 * width + int(rng() % 3) * 2 * int(rng() % 50);
        const Bytes src = random_bytes(static_cast<size_t>(stride) * height, rng);
        const Bytes expected = convert(yuyv_to_rgb24_reference, src, width, height, stride);
        for (const auto& path : paths)
            ASSERT_EQ(convert(path.convert, src, width, height, stride), expected)
                << name_of(path) << ", " << width << "x" << height << ", stride " << stride;
    }
}

TEST(Yuyv, NoRowsWriteNothing)
{
    const Bytes src(64, 200);
    for (const auto& path : yuyv_paths()) {
        for (int height : {0, -1, -1000}) {
            Bytes rgb(96, 0xA5);
            path.convert(src.data(), rgb.data(), 16, height, 32);
            EXPECT_EQ(rgb, Bytes(96, 0xA5)) << name_of(path) << ", height " << height;
        }
    }
}

// A frame placed so that its last byte ends a page, followed by a page
// without access: a read past the frame faults.
class GuardedFrame {
public:
    explicit GuardedFrame(size_t bytes)
    {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        length = (bytes + page - 1) / page * page + page;
        base = static_cast<uint8_t*>(mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base == MAP_FAILED)
            throw std::runtime_error("mmap");
        mprotect(base + length - page, page, PROT_NONE);
        frame = base + length - page - bytes;
    }
    ~GuardedFrame() { munmap(base, length); }
    uint8_t* frame;

private:
    uint8_t* base;
    size_t length;
};

TEST(Yuyv, NothingIsReadPastTheLastRow)
{
    std::mt19937 rng(3);
    for (const auto& path : yuyv_paths()) {
        for (int width = 1; width <= 260; ++width) {
            const int height = 3, stride = 2 * width + 2 * (width % 3);
            const size_t bytes = static_cast<size_t>(stride) * (height - 1) + 2 * width;
            GuardedFrame guarded(bytes);
            const Bytes src = random_bytes(bytes, rng);
            std::memcpy(guarded.frame, src.data(), bytes);
            Bytes rgb(3 * width * height);
            path.convert(guarded.frame, rgb.data(), width, height, stride);
            Bytes expected(rgb.size());
            yuyv_to_rgb24_reference(src.data(), expected.data(), width, height, stride);
            ASSERT_EQ(rgb, expected) << name_of(path) << ", width " << width;
        }
    }
}

// Odd widths keep rows of 3 * width bytes; the last pixel borrows the chroma
// of the pair to its left, or is grey when it has none.
TEST(Yuyv, OddWidthsFillTheLastPixelFromItsNeighbour)
{
    std::mt19937 rng(4);
    for (const auto& path : yuyv_paths()) {
        for (int width : {1, 3, 5, 33, 301, 641}) {
            const int height = 4, stride = 2 * width + 6;
            const Bytes src = random_bytes(static_cast<size_t>(stride) * height, rng);
            Bytes rgb(3 * width * height + 1, 0xA5);
            path.convert(src.data(), rgb.data(), width, height, stride);
            EXPECT_EQ(rgb[3 * width * height], 0xA5) << name_of(path) << ", width " << width;
            for (int line = 0; line < height; ++line) {
                const uint8_t* last_y = &src[line * stride + 2 * (width - 1)];
                const uint8_t u = width > 1 ? last_y[-3] : 128, v = width > 1 ? last_y[-1] : 128;
                const Bytes group = {last_y[0], u, last_y[0], v};
                const Bytes pixel = convert(yuyv_to_rgb24_reference, group, 2, 1, 4);
                const uint8_t* out = &rgb[3 * (line * width + width - 1)];
                EXPECT_TRUE(std::equal(out, out + 3, pixel.begin()))
                    << name_of(path) << ", width " << width << ", row " << line;
                if (width == 1) {
                    EXPECT_TRUE(out[0] == last_y[0] && out[1] == last_y[0] && out[2] == last_y[0]);
                }
            }
            rgb.pop_back();
            EXPECT_EQ(rgb, convert(yuyv_to_rgb24_reference, src, width, height, stride))
                << name_of(path) << ", width " << width;
        }
    }
}

}  // namespace
