/* The frames the fake capture device delivers, shared by the device and the
 * tests that look at them: four flat quadrants and a white 4x4 block in every
 * corner. Frame k (counted from 1) shows colour (q + k) % 4 in quadrant q,
 * so consecutive frames differ everywhere outside the corners. */
#ifndef FAKECAM_PATTERN_H
#define FAKECAM_PATTERN_H

#include <stdint.h>

/* One YUYV group (Y0, U, Y1, V) and the RGB the capture class must make of it. */
struct PatternColour {
    uint8_t yuyv[4];
    uint8_t rgb[3];
};

static const struct PatternColour patternColours[4] = {
    {{128, 128, 128, 128}, {128, 128, 128}},
    {{128, 0, 128, 0}, {0, 255, 0}},
    {{0, 255, 0, 255}, {190, 0, 255}},
    {{100, 127, 100, 127}, {98, 102, 97}},
};

static const struct PatternColour patternCorner = {{255, 128, 255, 128}, {255, 255, 255}};

enum { PATTERN_CORNER = 4 };

/* Quadrants are numbered 0 top-left, 1 top-right, 2 bottom-left, 3
 * bottom-right, "top" being the first rows the device delivers. */
static inline int patternQuadrant(int x, int y, int width, int height)
{
    return (y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0);
}

static inline const struct PatternColour* patternAt(long frame, int x, int y, int width, int height)
{
    int cornerX = x < PATTERN_CORNER || x >= width - PATTERN_CORNER;
    int cornerY = y < PATTERN_CORNER || y >= height - PATTERN_CORNER;
    if (cornerX && cornerY)
        return &patternCorner;
    return &patternColours[(patternQuadrant(x, y, width, height) + frame) % 4];
}

#endif
