#include "palette.h"

#include <cmath>

#define RGB8(r, g, b) glm::vec3((r) / 255.0f, (g) / 255.0f, (b) / 255.0f)
const glm::vec3 constlut[paletteSize] = {
    RGB8(148, 92, 125), RGB8(88, 26, 26),    RGB8(162, 91, 103), RGB8(100, 150, 146),
    RGB8(129, 47, 40),  RGB8(125, 130, 117), RGB8(150, 60, 66),  RGB8(39, 22, 21),
    RGB8(118, 18, 37),  RGB8(140, 107, 105), RGB8(68, 42, 67),   RGB8(161, 70, 85),
    RGB8(129, 193, 191), RGB8(40, 121, 124), RGB8(118, 90, 52),  RGB8(85, 103, 103),
    RGB8(13, 67, 113),  RGB8(19, 72, 57),    RGB8(36, 127, 136), RGB8(49, 194, 149),
    RGB8(96, 53, 40),   RGB8(127, 199, 181), RGB8(9, 9, 8),      RGB8(10, 42, 81),
    RGB8(17, 150, 132), RGB8(69, 90, 92),    RGB8(118, 12, 22),  RGB8(22, 33, 28),
    RGB8(132, 162, 100), RGB8(30, 24, 19),   RGB8(68, 10, 13),   RGB8(73, 76, 120),
    RGB8(138, 131, 47),
};
#undef RGB8
static_assert(sizeof(constlut) == 33 * 12, "the palette is uploaded straight from the table");

// n / 255 as a float lies far closer to n than to its neighbours, so
// rounding recovers n exactly.
std::array<uint8_t, 3> paletteBytes(int index)
{
    const glm::vec3& c = constlut[index];
    auto byte = [](float v) { return static_cast<uint8_t>(std::lround(v * 255.0f)); };
    return {byte(c.r), byte(c.g), byte(c.b)};
}
