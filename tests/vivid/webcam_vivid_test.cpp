// Runs inside the qemu guest that run-vivid.sh boots: the capture class
// against vivid's nodes.
#include "vivid_nodes.h"
#include "webcam.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <vector>
#include <unistd.h>

// vivid produces frames at its own pace; under emulation one wait can pass
// without a frame, which the class reports as a time-out.
const RGBImage& nextFrame(Webcam& cam)
{
    const std::string timeout = captureNode + ": select timeout";
    for (int attempt = 1;; ++attempt) {
        try {
            return cam.frame(200000);
        } catch (const std::runtime_error& e) {
            if (e.what() != timeout || attempt == 10)
                throw;
        }
    }
}

namespace {

std::string constructionError(const std::string& path)
{
    try {
        Webcam cam(path, 300, 300);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "constructed without error";
}

v4l2_pix_format formatOnDevice()
{
    int fd = open(captureNode.c_str(), O_RDWR | O_NONBLOCK);
    EXPECT_GE(fd, 0) << strerror(errno);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    EXPECT_EQ(ioctl(fd, VIDIOC_G_FMT, &fmt), 0) << strerror(errno);
    close(fd);
    return fmt.fmt.pix;
}

struct Rgb {
    int r, g, b;
};

Rgb pixel(const RGBImage& img, size_t x, size_t y)
{
    const uint8_t* p = img.data + (y * img.width + x) * 3;
    return {p[0], p[1], p[2]};
}

// 75% colour bars, left to right.
const std::array<Rgb, 8> colourBars = {{
    {191, 191, 191}, // white
    {191, 191, 0},   // yellow
    {0, 191, 191},   // cyan
    {0, 191, 0},     // green
    {191, 0, 191},   // magenta
    {191, 0, 0},     // red
    {0, 0, 191},     // blue
    {0, 0, 0},       // black
}};

// vivid encodes the bars with limited-range luma, which the conversion passes
// on unscaled (white comes out near 180, black near 16); loose enough for
// that and for chroma subsampling, tight enough to catch a swapped or
// missing channel.
bool near(Rgb seen, Rgb want)
{
    const int tolerance = 32;
    return std::abs(seen.r - want.r) <= tolerance && std::abs(seen.g - want.g) <= tolerance &&
           std::abs(seen.b - want.b) <= tolerance;
}

std::string describe(Rgb c)
{
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

} // namespace

TEST(VividWebcam, TakesTheSizeTheDriverGrants)
{
    Webcam cam(captureNode, 300, 300);
    const v4l2_pix_format granted = formatOnDevice();
    EXPECT_EQ(granted.pixelformat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(cam.width(), int(granted.width));
    EXPECT_EQ(cam.height(), int(granted.height));

    const RGBImage& img = nextFrame(cam);
    EXPECT_NE(img.data, nullptr);
    EXPECT_EQ(img.width, granted.width);
    EXPECT_EQ(img.height, granted.height);
    EXPECT_EQ(img.size, img.width * img.height * 3);
    std::printf("granted %zux%zu for 300x300, bytesperline %u\n", img.width, img.height,
                granted.bytesperline);
}

TEST(VividWebcam, FrameShowsColourBarsInRgbOrder)
{
    Webcam cam(captureNode, 300, 300);
    const RGBImage& img = nextFrame(cam);
    const size_t barWidth = img.width / colourBars.size();
    // vivid writes its status text over most of the picture; only the bottom
    // rows are left to the bars.
    for (size_t y = img.height * 7 / 8; y < img.height; y += 4) {
        for (size_t bar = 0; bar < colourBars.size(); ++bar) {
            const Rgb seen = pixel(img, bar * barWidth + barWidth / 2, y);
            EXPECT_TRUE(near(seen, colourBars[bar]))
                << "bar " << bar << " row " << y << ": saw " << describe(seen) << ", want "
                << describe(colourBars[bar]);
        }
    }
    for (size_t bar = 0; bar < colourBars.size(); ++bar)
        std::printf("bar %zu: %s\n", bar,
                    describe(pixel(img, bar * barWidth + barWidth / 2, img.height - 1)).c_str());
}

// vivid stamps its sequence number into every frame, so no two are alike: a
// buffer that is not queued again, or one converted twice, shows here.
TEST(VividWebcam, KeepsDeliveringNewFramesBeyondTheBufferRing)
{
    Webcam cam(captureNode, 300, 300);
    const RGBImage& img = nextFrame(cam);
    std::vector<uint8_t> previous(img.data, img.data + img.size);
    for (int i = 0; i < 12; ++i) {
        nextFrame(cam);
        std::vector<uint8_t> current(img.data, img.data + img.size);
        EXPECT_NE(current, previous) << "frame " << i + 2 << " repeats the one before";
        previous.swap(current);
    }
}

TEST(VividWebcam, ReportsTimeoutWhenNoFrameIsReadyAndRecovers)
{
    Webcam cam(captureNode, 300, 300);
    nextFrame(cam);
    std::string error;
    // Buffers filled meanwhile are handed out first; polling drains them.
    for (int i = 0; i < 16 && error.empty(); ++i) {
        try {
            cam.frame(0);
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
    }
    EXPECT_EQ(error, captureNode + ": select timeout");
    EXPECT_NE(nextFrame(cam).data, nullptr);
}

TEST(VividWebcam, CanBeOpenedAgainRightAfterDestruction)
{
    for (int round = 0; round < 3; ++round) {
        Webcam cam(captureNode, 300, 300);
        EXPECT_NE(nextFrame(cam).data, nullptr) << "round " << round;
    }
}

TEST(VividWebcam, RejectsV4l2DeviceWithoutCapture)
{
    EXPECT_EQ(constructionError(outputNode), outputNode + " is no video capture device");
}
