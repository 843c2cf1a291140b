// The guarded loader with the decoder the demo links: every seed of the fuzz
// corpus is an ordinary image and loads at the size its name gives; every
// regression input is refused: each broke the decoder under the sanitizers,
// blew up its memory, or is of a depth it is not trusted with.
#include "safe-image.h"

#include <stb_image.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const int anySide = 16384;

std::vector<fs::path> filesIn(const char* dir)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

TEST(ImageLoader, LoadsEveryOrdinaryFormatAtItsOwnSize)
{
    auto seeds = filesIn(MOSAIC_IMAGE_SEEDS);
    ASSERT_FALSE(seeds.empty());
    for (const auto& seed : seeds) {
        std::string name = seed.filename().string();
        size_t dash = name.rfind('-');
        int wantWidth = 0;
        int wantHeight = 0;
        ASSERT_TRUE(dash != std::string::npos &&
                    std::sscanf(name.c_str() + dash, "-%dx%d.", &wantWidth, &wantHeight) == 2) << name;
        int width = 0;
        int height = 0;
        unsigned char* pixels = loadImage(seed.c_str(), anySide, width, height);
        EXPECT_NE(pixels, nullptr) << name;
        EXPECT_EQ(width, wantWidth) << name;
        EXPECT_EQ(height, wantHeight) << name;
        stbi_image_free(pixels);
    }
}

TEST(ImageLoader, RefusesEveryKnownDecoderFault)
{
    for (const auto& input : filesIn(MOSAIC_IMAGE_REGRESSIONS)) {
        int width = 0;
        int height = 0;
        EXPECT_EQ(loadImage(input.c_str(), anySide, width, height), nullptr) << input;
    }
}
