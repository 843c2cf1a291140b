// Vector conversion, compiled once for each instruction set (see yuyv.cpp).
#if defined(WEBCAM_YUYV_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef WEBCAM_YUYV_INL_H_
#undef WEBCAM_YUYV_INL_H_
#else
#define WEBCAM_YUYV_INL_H_
#endif

#include <hwy/highway.h>

#include "yuyv.h"

HWY_BEFORE_NAMESPACE();
namespace yuyv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// Works on 16-bit lanes, one per pixel: the terms reach +-16512 and the sums
// saturate to 0..255 when narrowed, which is the clip of the formulas.
template <class D16, class V32>
hn::Vec<hn::RebindToSigned<D16>> chroma_per_pixel(D16 d16, V32 pair_chroma)
{
    const hn::RebindToSigned<D16> di16;
    const auto both_pixels = hn::Or(pair_chroma, hn::ShiftLeft<16>(pair_chroma));
    return hn::Sub(hn::BitCast(di16, both_pixels), hn::Set(di16, 128));
}

// Converts whole vectors of pixels from the start of a row; returns how many.
int convert_row_vectors(const uint8_t* row, uint8_t* out, int width)
{
    const hn::ScalableTag<uint8_t> d8;
    const hn::RepartitionToWide<decltype(d8)> d16;
    const hn::RepartitionToWide<decltype(d16)> d32;
    const hn::RebindToSigned<decltype(d16)> di16;
    const hn::Rebind<uint8_t, decltype(di16)> d8_per_pixel;
    const int pixels = static_cast<int>(hn::Lanes(d16));

    int x = 0;
    for (; x + pixels <= width; x += pixels) {
        const auto yuyv = hn::LoadU(d8, row + 2 * x);
        const auto y = hn::BitCast(di16, hn::And(hn::BitCast(d16, yuyv), hn::Set(d16, 0xFF)));
        const auto pairs = hn::BitCast(d32, yuyv);
        const auto u = chroma_per_pixel(d16, hn::And(hn::ShiftRight<8>(pairs), hn::Set(d32, 0xFF)));
        const auto v = chroma_per_pixel(d16, hn::ShiftRight<24>(pairs));

        const auto v1 = hn::ShiftRight<1>(hn::Mul(v, hn::Set(di16, 3)));
        const auto rg = hn::ShiftRight<3>(hn::Add(hn::Mul(u, hn::Set(di16, 3)), hn::Mul(v, hn::Set(di16, 6))));
        const auto u1 = hn::ShiftRight<6>(hn::Mul(u, hn::Set(di16, 129)));

        hn::StoreInterleaved3(hn::DemoteTo(d8_per_pixel, hn::Add(y, v1)),
                              hn::DemoteTo(d8_per_pixel, hn::Sub(y, rg)),
                              hn::DemoteTo(d8_per_pixel, hn::Add(y, u1)), d8_per_pixel, out + 3 * x);
    }
    return x;
}

void convert_frame(const uint8_t* src, uint8_t* dest, int width, int height, int stride)
{
    for (int line = 0; line < height; ++line) {
        const uint8_t* row = src + static_cast<ptrdiff_t>(line) * stride;
        uint8_t* out = dest + static_cast<ptrdiff_t>(line) * 3 * width;
        const int done = convert_row_vectors(row, out, width);
        yuyv_row_to_rgb24(row, out, done, width);
    }
}

#endif  // HWY_TARGET != HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace yuyv
HWY_AFTER_NAMESPACE();

#endif  // WEBCAM_YUYV_INL_H_
