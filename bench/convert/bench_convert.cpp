// YUYV to RGB conversion per frame size, every path this CPU runs beside the
// scalar reference; and the whole CPU side of a camera frame (conversion,
// scaling into the source image, snapping to the palette) beside the conversion
// alone. items_per_second is pixels per second of the camera frame.
#include "nearest-palette.h"
#include "scale-to-source.h"
#include "yuyv.h"

#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

static std::vector<uint8_t> random_bytes(size_t size)
{
    std::mt19937 rng(1);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

static void convert_frame(benchmark::State& state, YuyvConverter convert, int width, int height)
{
    const std::vector<uint8_t> src = random_bytes(2 * static_cast<size_t>(width) * height);
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
    for (auto _ : state) {
        convert(src.data(), rgb.data(), width, height, 2 * width);
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

static const int source = 300;

// What the demo does with each camera frame before the upload.
static void camera_frame(benchmark::State& state, int width, int height)
{
    const std::vector<uint8_t> src = random_bytes(2 * static_cast<size_t>(width) * height);
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
    std::vector<uint8_t> rgba(4 * static_cast<size_t>(source) * source);
    const NearestPalette table = buildNearestPalette();
    SourceScaler scaler = makeSourceScaler(width, height, source);
    for (auto _ : state) {
        v4lconvert_yuyv_to_rgb24(src.data(), rgb.data(), width, height, 2 * width);
        scaleToSource(scaler, rgb.data(), rgba.data());
        snapToPalette(table, rgba.data(), static_cast<size_t>(source) * source);
        benchmark::DoNotOptimize(rgba.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * width * height);
}

// Snapping alone, of a source image of every colour at random, copied in
// afresh each time since snapping overwrites it.
static void snap_source(benchmark::State& state)
{
    const std::vector<uint8_t> random = random_bytes(4 * static_cast<size_t>(source) * source);
    std::vector<uint8_t> rgba(random.size());
    const NearestPalette table = buildNearestPalette();
    for (auto _ : state) {
        rgba = random;
        snapToPalette(table, rgba.data(), static_cast<size_t>(source) * source);
        benchmark::DoNotOptimize(rgba.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * source * source);
}
BENCHMARK(snap_source)->Name("camera-frame/snap-300x300");

// Once at start-up.
static void build_table(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(buildNearestPalette());
}
BENCHMARK(build_table)->Name("camera-frame/build-palette-table")->Unit(benchmark::kMillisecond);

static const bool registered = [] {
    const int cameras[][2] = {{640, 480}, {1280, 720}};
    for (const auto& size : cameras) {
        const std::string frame = std::to_string(size[0]) + "x" + std::to_string(size[1]);
        benchmark::RegisterBenchmark(("camera-frame/" + frame + "/convert").c_str(), convert_frame,
                                     v4lconvert_yuyv_to_rgb24, size[0], size[1])
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("camera-frame/" + frame + "/convert+scale+index").c_str(), camera_frame,
                                     size[0], size[1])
            ->Unit(benchmark::kMicrosecond);
    }

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
