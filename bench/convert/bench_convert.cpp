// YUYV to RGB conversion per frame size, every path this CPU runs beside the
// scalar reference. items_per_second is pixels per second.
#include "yuyv.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

static void convert_frame(benchmark::State& state, YuyvConverter convert, int width, int height)
{
    std::mt19937 rng(1);
    std::vector<uint8_t> src(2 * static_cast<size_t>(width) * height);
    for (auto& b : src)
        b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
    for (auto _ : state) {
        convert(src.data(), rgb.data(), width, height, 2 * width);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

static const bool registered = [] {
    const int sizes[][2] = {{300, 300}, {640, 480}, {1920, 1080}};
    for (const auto& size : sizes) {
        const std::string frame = std::to_string(size[0]) + "x" + std::to_string(size[1]);
        benchmark::RegisterBenchmark(("convert/" + frame + "/chosen").c_str(), convert_frame,
                                     v4lconvert_yuyv_to_rgb24, size[0], size[1]);
        for (const auto& path : yuyv_paths())
            benchmark::RegisterBenchmark(("convert/" + frame + "/" + path.name).c_str(), convert_frame,
                                         path.convert, size[0], size[1]);
    }
    return true;
}();
