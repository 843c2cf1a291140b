// Vector conversion, compiled once for each instruction set (see yuyv.cpp).
#if defined(WEBCAM_YUYV_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef WEBCAM_YUYV_INL_H_
#undef WEBCAM_YUYV_INL_H_
#else
#define WEBCAM_YUYV_INL_H_
#endif

#include <hwy/highway.h>

#include <algorithm>

#include "yuyv.h"

HWY_BEFORE_NAMESPACE();
namespace yuyv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

const hn::ScalableTag<uint8_t> d8;
const hn::RepartitionToWide<decltype(d8)> d16;
const hn::RepartitionToWide<decltype(d16)> d32;
const hn::RebindToSigned<decltype(d16)> di16;
const hn::Rebind<uint8_t, decltype(d16)> d8_half;
using Channel = hn::Vec<decltype(di16)>;

struct Rgb {
    Channel r, g, b;
};

// The chroma of each pair, centred on 0, in the 16-bit lanes of both its pixels.
Channel chroma_per_pixel(hn::Vec<decltype(d32)> chroma)
{
    const auto both_pixels = hn::Or(chroma, hn::ShiftLeft<16>(chroma));
    return hn::Sub(hn::BitCast(di16, both_pixels), hn::Set(di16, 128));
}

// One 16-bit lane per pixel: the terms reach +-16512, and narrowing the sums
// with saturation is the clip of the formulas.
Rgb convert_pixels(const uint8_t* yuyv_bytes)
{
    const auto yuyv = hn::LoadU(d8, yuyv_bytes);
    const auto y = hn::BitCast(di16, hn::And(hn::BitCast(d16, yuyv), hn::Set(d16, 0xFF)));
    const auto pairs = hn::BitCast(d32, yuyv);
    const Channel u = chroma_per_pixel(hn::And(hn::ShiftRight<8>(pairs), hn::Set(d32, 0xFF)));
    const Channel v = chroma_per_pixel(hn::ShiftRight<24>(pairs));

    const Channel v1 = hn::ShiftRight<1>(hn::Mul(v, hn::Set(di16, 3)));
    const Channel rg = hn::ShiftRight<3>(hn::Add(hn::Mul(u, hn::Set(di16, 3)), hn::Mul(v, hn::Set(di16, 6))));
    const Channel u1 = hn::ShiftRight<6>(hn::Mul(u, hn::Set(di16, 129)));
    return {hn::Add(y, v1), hn::Sub(y, rg), hn::Add(y, u1)};
}

hn::Vec<decltype(d8)> narrow(Channel first, Channel second)
{
    return hn::Combine(d8, hn::DemoteTo(d8_half, second), hn::DemoteTo(d8_half, first));
}

// Two loads fill one full vector of each channel for the interleaving store.
void convert_step(const uint8_t* yuyv, uint8_t* out)
{
    const Rgb first = convert_pixels(yuyv);
    const Rgb second = convert_pixels(yuyv + hn::Lanes(d8));
    hn::StoreInterleaved3(narrow(first.r, second.r), narrow(first.g, second.g), narrow(first.b, second.b), d8, out);
}

// Converts the pixel pairs of a row; returns how many pixels that covers,
// 0 when the row is narrower than one step. The last step is moved back to
// end with the row, recomputing some pixels rather than reading past it.
int convert_row_vectors(const uint8_t* row, uint8_t* out, int width)
{
    const int step = static_cast<int>(hn::Lanes(d8));
    const int paired = width & ~1;
    if (paired < step)
        return 0;
    for (int x = 0;; x += step) {
        x = std::min(x, paired - step);
        convert_step(row + 2 * x, out + 3 * x);
        if (x + step == paired)
            return paired;
    }
}

void convert_frame(const uint8_t* src, uint8_t* dest, int width, int height, int stride)
{
    for (int line = 0; line < height; ++line) {
        const uint8_t* row = src + static_cast<ptrdiff_t>(line) * stride;
        uint8_t* out = dest + static_cast<ptrdiff_t>(line) * 3 * width;
        yuyv_row_to_rgb24(row, out, convert_row_vectors(row, out, width), width);
    }
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace yuyv
HWY_AFTER_NAMESPACE();

#endif  // WEBCAM_YUYV_INL_H_
