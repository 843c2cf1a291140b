#include "vivid_pictures.h"
#include "palette.h"
#include "vivid_nodes.h"

#include <algorithm>
#include <array>

namespace {

const int sceneEntry = 5;
const char* const entryScene = R"(#version 330 core
uniform sampler1D uPalette;
out vec4 color;
void main() { color = vec4(texelFetch(uPalette, 5, 0).rgb, 5.0 / 255.0); }
)";

}  // namespace

const char* const sourceRowProbe = "0,0,600,1";

void useTestShaders(const WorkDir& dir)
{
    dir.write("mosaic.frag", sourceViewShader);
    dir.write("sdf.frag", entryScene);
}

Frame grantedPicture(const std::string& node)
{
    Webcam cam(node, sourceSize, sourceSize);
    const RGBImage& image = nextFrame(cam);
    return {image.width, image.height, std::vector<uint8_t>(image.data, image.data + image.size)};
}

std::function<std::optional<Rgb>(int, int)> barsInTheSource(const Frame& bars)
{
    return [&bars](int x, int y) -> std::optional<Rgb> {
        const Footprint under = footprint(bars.width, bars.height, x, y);
        const Rgb colour = bars.at(under.left, 0);
        for (size_t px = under.left; px <= under.right; ++px)
            if (bars.at(px, 0) != colour)
                return std::nullopt;
        return snapped(colour);
    };
}

bool showsTheScene(const std::vector<uint8_t>& probe)
{
    const std::array<uint8_t, 3> entry = paletteBytes(sceneEntry);
    if (probe.size() != size_t(2 * sourceSize) * 3)
        return false;
    for (int x = 0; x < sourceSize; ++x) {
        const uint8_t* texel = &probe[size_t(x) * 3];
        const uint8_t* index = &probe[size_t(sourceSize + x) * 3];
        if (texel[0] != entry[0] || texel[1] != entry[1] || texel[2] != entry[2] || index[0] != sceneEntry)
            return false;
    }
    return true;
}

bool showsTheBars(const std::vector<uint8_t>& probe, const Frame& bars)
{
    if (probe.size() != size_t(2 * sourceSize) * 3)
        return false;
    const auto expected = barsInTheSource(bars);
    for (int x = 0; x < sourceSize; ++x) {
        const std::optional<Rgb> colour = expected(x, 0);
        const uint8_t* texel = &probe[size_t(x) * 3];
        if (colour && Rgb{texel[0], texel[1], texel[2]} != *colour)
            return false;
    }
    return true;
}

std::string describeRow(const std::vector<uint8_t>& probe)
{
    std::string runs;
    for (size_t x = 0; x < sourceSize && probe.size() >= size_t(2 * sourceSize) * 3;) {
        const uint8_t* texel = &probe[x * 3];
        size_t end = x + 1;
        while (end < sourceSize && std::equal(texel, texel + 3, &probe[end * 3]))
            ++end;
        runs += (runs.empty() ? "" : ", ") + std::to_string(end - x) + " x " +
                describe({texel[0], texel[1], texel[2]}) + " [" + std::to_string(probe[(sourceSize + x) * 3]) + "]";
        x = end;
    }
    return runs;
}
