#pragma once

#include <cstdint>
#include <vector>

// YUYV (4:2:2, bytes Y0 U Y1 V per pixel pair) to packed 8-bit RGB.
// Source rows start `stride` bytes apart; output rows are 3 * width bytes,
// back to back. A height of 0 or less writes nothing. With an odd width
// the last pixel of a row takes the chroma of its left neighbour, or
// neutral chroma when it has none.
using YuyvConverter = void (*)(const uint8_t* src, uint8_t* dest, int width, int height, int stride);

// The fastest conversion this CPU runs.
void v4lconvert_yuyv_to_rgb24(const uint8_t* src, uint8_t* dest, int width, int height, int stride);

// Portable integer version; every faster path must equal it byte for byte.
void yuyv_to_rgb24_reference(const uint8_t* src, uint8_t* dest, int width, int height, int stride);

// Converts the pixels of one row from `first` (even) to `width`, one pair at a time.
void yuyv_row_to_rgb24(const uint8_t* row, uint8_t* out, int first, int width);

struct YuyvPath {
    const char* name;
    YuyvConverter convert;
};

// Every conversion this CPU can run, fastest first; the last is the reference.
std::vector<YuyvPath> yuyv_paths();
