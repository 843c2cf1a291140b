#include "yuyv.h"

#include <cstddef>

// The vector code is compiled for each x86 instruction set that adds to it;
// the choice among them is made at run time from the CPU's features, so no
// Highway library is linked and static binaries stay possible.
#define HWY_TARGET_INCLUDE "yuyv-inl.h"
#define HWY_DISABLED_TARGETS (HWY_SSE4 | HWY_AVX3_DL)
#include <hwy/foreach_target.h>

#include "yuyv-inl.h"

static uint8_t clip(int x)
{
    return static_cast<uint8_t>(x > 255 ? 255 : x < 0 ? 0 : x);
}

// The right shifts of negative terms take the floor, as the formulas want.
static void pixel_to_rgb(int y, int u, int v, uint8_t* out)
{
    const int v1 = (3 * (v - 128)) >> 1;
    const int rg = (3 * (u - 128) + 6 * (v - 128)) >> 3;
    const int u1 = (129 * (u - 128)) >> 6;
    out[0] = clip(y + v1);
    out[1] = clip(y - rg);
    out[2] = clip(y + u1);
}

void yuyv_row_to_rgb24(const uint8_t* row, uint8_t* out, int first, int width)
{
    int x = first;
    for (; x + 1 < width; x += 2) {
        const uint8_t* group = row + 2 * x;
        pixel_to_rgb(group[0], group[1], group[3], out + 3 * x);
        pixel_to_rgb(group[2], group[1], group[3], out + 3 * x + 3);
    }
    // An odd width leaves a pixel whose group holds no V: it borrows the
    // chroma of the pair to its left.
    if (x < width) {
        const uint8_t* y = row + 2 * x;
        const bool has_left_pair = x >= 2;
        pixel_to_rgb(y[0], has_left_pair ? y[-3] : 128, has_left_pair ? y[-1] : 128, out + 3 * x);
    }
}

void yuyv_to_rgb24_reference(const uint8_t* src, uint8_t* dest, int width, int height, int stride)
{
    for (int line = 0; line < height; ++line)
        yuyv_row_to_rgb24(src + static_cast<ptrdiff_t>(line) * stride,
                          dest + static_cast<ptrdiff_t>(line) * 3 * width, 0, width);
}

std::vector<YuyvPath> yuyv_paths()
{
    std::vector<YuyvPath> paths;
#if HWY_ARCH_X86
#if HWY_TARGETS & HWY_AVX3
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw"))
        paths.push_back({"avx512", yuyv::N_AVX3::convert_frame});
#endif
#if HWY_TARGETS & HWY_AVX2
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
        __builtin_cpu_supports("f16c"))
        paths.push_back({"avx2", yuyv::N_AVX2::convert_frame});
#endif
#if HWY_TARGETS & HWY_SSSE3
    if (__builtin_cpu_supports("ssse3"))
        paths.push_back({"ssse3", yuyv::N_SSSE3::convert_frame});
#endif
#elif HWY_STATIC_TARGET != HWY_SCALAR
    paths.push_back({"baseline", yuyv::HWY_STATIC_DISPATCH(convert_frame)});
#endif
    paths.push_back({"scalar", yuyv_to_rgb24_reference});
    return paths;
}

void v4lconvert_yuyv_to_rgb24(const uint8_t* src, uint8_t* dest, int width, int height, int stride)
{
    static const YuyvConverter best = yuyv_paths().front().convert;
    best(src, dest, width, height, stride);
}
