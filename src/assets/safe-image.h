// Loading an image with stb_image only when its decoder can take it safely.
#pragma once

#include <cstddef>

// The most pixels an accepted image may have: 64 MiB once decoded to RGBA.
constexpr size_t maxImagePixels = size_t(1) << 24;

// Decodes `data` to 8-bit RGBA, rows top first, or returns null when the image
// is broken, has a side over `maxSide` or more than maxImagePixels pixels, or
// is of a format or depth whose decoder is known to fail on crafted input.
// The pixels are freed with stbi_image_free.
unsigned char* decodeImage(const unsigned char* data, size_t size, int maxSide, int& width, int& height);

// decodeImage on the whole of the regular file `fileName`.
unsigned char* loadImage(const char* fileName, int maxSide, int& width, int& height);
