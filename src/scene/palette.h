#pragma once

#include <glm/vec3.hpp>

#include <array>
#include <cstdint>

constexpr int paletteSize = 33;

// The mosaic's colours, red, green and blue as 8-bit values over 255; the
// palette texture is uploaded straight from this array.
extern const glm::vec3 constlut[paletteSize];

// Entry `index` as the 8-bit values it was written with.
std::array<uint8_t, 3> paletteBytes(int index);
