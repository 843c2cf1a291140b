// Paths that are no capture device, on the real file system.
#include "webcam.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace {

std::string construction_error(const std::string& path)
{
    try {
        Webcam webcam(path, 300, 300);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

size_t open_descriptors()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

TEST(WebcamOpen, MissingPathCannotBeIdentified)
{
    const std::string path = "/nonexistent/video9";
    EXPECT_EQ(construction_error(path),
              path + ": cannot identify! " + std::to_string(ENOENT) + ": " + std::strerror(ENOENT));
}

TEST(WebcamOpen, RegularFileIsNoDevice)
{
    char path[] = "/tmp/webcam-open-test-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_NE(fd, -1);
    close(fd);
    const size_t before = open_descriptors();
    EXPECT_EQ(construction_error(path), std::string(path) + " is no device");
    EXPECT_EQ(open_descriptors(), before);
    unlink(path);
}

TEST(WebcamOpen, DirectoryIsNoDevice)
{
    EXPECT_EQ(construction_error("/tmp"), "/tmp is no device");
}

// The null device answers the capability query with ENOTTY.
TEST(WebcamOpen, CharacterDeviceWithoutV4L2IsNoV4L2Device)
{
    const size_t before = open_descriptors();
    EXPECT_EQ(construction_error("/dev/null"), "/dev/null is no V4L2 device");
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
