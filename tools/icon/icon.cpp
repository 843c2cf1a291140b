// Cuts the application icon out of one of the demo's own pictures: a square
// of the picture, scaled down to each size that icon themes look for, in
// sRGB so that the tiles' colours keep their brightness.
//   icon PICTURE X Y SIDE FOLDER   writes FOLDER/<N>x<N>.png for each size N
#include <stb_image.h>
#include <stb_image_resize.h>
#include <stb_image_write.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static const int iconSizes[] = {16, 24, 32, 48, 64, 128, 256};

static int number(const char* text)
{
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 1 << 16) {
        std::fprintf(stderr, "icon: %s is not a pixel count\n", text);
        std::exit(1);
    }
    return static_cast<int>(value);
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: icon PICTURE X Y SIDE FOLDER\n");
        return 1;
    }
    int x = number(argv[2]);
    int y = number(argv[3]);
    int side = number(argv[4]);
    int width = 0;
    int height = 0;
    unsigned char* picture = stbi_load(argv[1], &width, &height, nullptr, 3);
    if (!picture) {
        std::fprintf(stderr, "icon: could not load %s: %s\n", argv[1], stbi_failure_reason());
        return 1;
    }
    if (side == 0 || x + side > width || y + side > height) {
        std::fprintf(stderr, "icon: the square %d,%d side %d leaves the %dx%d picture\n", x, y, side,
                     width, height);
        return 1;
    }
    const unsigned char* square = picture + (static_cast<size_t>(y) * width + x) * 3;
    for (int size : iconSizes) {
        std::vector<unsigned char> icon(static_cast<size_t>(size) * size * 3);
        std::string path = std::string(argv[5]) + "/" + std::to_string(size) + "x" + std::to_string(size) + ".png";
        if (!stbir_resize_uint8_srgb(square, side, side, width * 3, icon.data(), size, size, size * 3, 3,
                                     STBIR_ALPHA_CHANNEL_NONE, 0) ||
            !stbi_write_png(path.c_str(), size, size, 3, icon.data(), size * 3)) {
            std::fprintf(stderr, "icon: could not write %s\n", path.c_str());
            return 1;
        }
    }
    stbi_image_free(picture);
    return 0;
}
