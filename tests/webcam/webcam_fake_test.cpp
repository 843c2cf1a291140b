// The capture class against the fake capture device, for the answers and
// faults a real device cannot be made to give.
#include "fake_capture_wrap.h"
#include "webcam.h"
#include "yuyv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
const std::string path = fake_path;

class FakeDriver : public testing::Test {
protected:
    void TearDown() override { fake_reset(); }
};

std::string construction_error(int width = 300, int height = 300)
{
    try {
        Webcam webcam(path, width, height);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::string frame_error(Webcam& webcam, int timeout = 100)
{
    try {
        webcam.frame(timeout);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// A frame as the driver lays it out, random bytes in rows and padding.
Bytes random_frame(unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes frame(fake.sizeimage);
    for (auto& b : frame)
        b = static_cast<uint8_t>(rng());
    return frame;
}

Bytes grey_frame(uint8_t luma)
{
    Bytes frame(fake.sizeimage);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = i % 2 ? 128 : luma;
    return frame;
}

// Fills the buffer queued longest ago with `frame` and hands it out; returns its index.
uint32_t deliver(const Bytes& frame)
{
    const int index = fake.deliver();
    if (index < 0)
        throw std::logic_error("no buffer is queued");
    std::memcpy(fake.memory[index], frame.data(), std::min<size_t>(frame.size(), fake.length_of(uint32_t(index))));
    return uint32_t(index);
}

size_t mapped_buffers()
{
    return size_t(std::count_if(std::begin(fake.memory), std::end(fake.memory), [](uint8_t* m) { return m; }));
}

std::vector<uint32_t> queued()
{
    return {fake.incoming.index, fake.incoming.index + fake.incoming.count};
}

Bytes expected_rgb(const Bytes& frame, uint32_t stride)
{
    Bytes rgb(3 * size_t(fake.width) * fake.height);
    yuyv_to_rgb24_reference(frame.data(), rgb.data(), int(fake.width), int(fake.height), int(stride));
    return rgb;
}

Bytes pixels(const RGBImage& image)
{
    return Bytes(image.data, image.data + image.size);
}

bool wait_limit_is(long sec, long nsec)
{
    return fake_wait_limit.tv_sec == sec && fake_wait_limit.tv_nsec == nsec;
}

struct FailureRow {
    const char* name;
    std::function<void()> arrange;
    std::string message;
};

void PrintTo(const FailureRow& row, std::ostream* os)
{
    *os << row.name;
}

const FailureRow failure_rows[] = {
    {"OpenFails", [] { fake.fail(call_open, EACCES); },
     path + ": cannot open! " + std::to_string(EACCES) + ": " + std::strerror(EACCES)},
    {"QueryCapEinval", [] { fake.fail(VIDIOC_QUERYCAP, EINVAL); }, path + " is no V4L2 device"},
    {"QueryCapEnotty", [] { fake.fail(VIDIOC_QUERYCAP, ENOTTY); }, path + " is no V4L2 device"},
    {"QueryCapOtherwise", [] { fake.fail(VIDIOC_QUERYCAP, EIO); }, "VIDIOC_QUERYCAP"},
    {"NoCaptureNoStreaming", [] { fake.answer.capabilities = 0; }, path + " is no video capture device"},
    {"NoCapture", [] { fake.answer.capabilities = V4L2_CAP_STREAMING; }, path + " is no video capture device"},
    {"NoStreaming", [] { fake.answer.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE; },
     path + " does not support streaming i/o"},
    {"SetFormatFails", [] { fake.fail(VIDIOC_S_FMT, EBUSY); }, "VIDIOC_S_FMT"},
    {"FormatIsNotYuyv", [] { fake.answer.pixelformat = V4L2_PIX_FMT_MJPEG; },
     "Webcam does not support YUYV format. Support for more format need to be added!"},
    {"RequestBuffersEinval", [] { fake.fail(VIDIOC_REQBUFS, EINVAL); }, path + " does not support memory mapping"},
    {"RequestBuffersOtherwise", [] { fake.fail(VIDIOC_REQBUFS, EBUSY); }, "VIDIOC_REQBUFS"},
    {"NoBufferGranted", [] { fake.answer.buffers = 0; }, "Insufficient buffer memory on " + path},
    {"OneBufferGranted", [] { fake.answer.buffers = 1; }, "Insufficient buffer memory on " + path},
    {"BufferArrayUnavailable",
     [] {
         fake.answer.buffers = 3;
         fake_failing_allocation = 3 * sizeof(buffer);
     },
     "Out of memory"},
    {"QueryThirdBufferFails", [] { fake.fail(VIDIOC_QUERYBUF, EINVAL, 2); }, "VIDIOC_QUERYBUF"},
    {"MapThirdBufferFails", [] { fake.fail(call_mmap, ENOMEM, 2); }, "mmap"},
    {"RgbStorageUnavailable", [] { fake_failing_allocation = 300 * 300 * 3; }, "Out of memory"},
    {"RgbStorageBeyondAddresses",
     [] {
         fake.answer.width = fake.answer.height = 0xFFFFFFFF;
         fake.answer.length = 4096;
     },
     "Out of memory"},
    {"QueueThirdBufferFails", [] { fake.fail(VIDIOC_QBUF, EIO, 2); }, "VIDIOC_QBUF"},
    {"StreamOnFails", [] { fake.fail(VIDIOC_STREAMON, EIO); }, "VIDIOC_STREAMON"},
};

class ConstructionFailure : public testing::TestWithParam<FailureRow> {
protected:
    void TearDown() override { fake_reset(); }
};

TEST_P(ConstructionFailure, ThrowsItsMessageAndLeavesNothingBehind)
{
    const size_t allocations = fake_live_allocations();
    GetParam().arrange();
    EXPECT_EQ(construction_error(), GetParam().message);
    EXPECT_EQ(fake_fd, -1) << "the descriptor stays open";
    EXPECT_EQ(mapped_buffers(), 0u) << "buffers stay mapped";
    EXPECT_EQ(fake_live_allocations(), allocations);

    fake.default_answers();
    fake_failing_allocation = 0;
    EXPECT_EQ(construction_error(), "") << "the device cannot be opened again";
}

INSTANTIATE_TEST_SUITE_P(Webcam, ConstructionFailure, testing::ValuesIn(failure_rows),
                         [](const testing::TestParamInfo<FailureRow>& row) { return row.param.name; });

// The device grants the format asked for, so a request for anything but
// YUYV at the given size fails here.
TEST_F(FakeDriver, ConfiguresYuyvAtTheRequestedSizeAndStreams)
{
    Webcam webcam(path, 300, 300);
    EXPECT_TRUE(fake.streaming);
    EXPECT_EQ(webcam.width(), 300);
    EXPECT_EQ(webcam.height(), 300);
    // A blocking descriptor would hang a dequeue; an inherited one keeps the
    // device busy for as long as a child runs.
    EXPECT_TRUE(fcntl(fake_fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(fcntl(fake_fd, F_GETFD) & FD_CLOEXEC);
}

TEST_F(FakeDriver, CroppingIsResetToTheDefaultRectangle)
{
    Webcam webcam(path, 300, 300);
    ASSERT_TRUE(fake.cropped);
    EXPECT_EQ(fake.crop.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
    EXPECT_EQ(std::memcmp(&fake.crop.c, &fake.answer.defrect, sizeof(v4l2_rect)), 0);
}

TEST_F(FakeDriver, DeviceWithoutCroppingIsConfiguredAnyway)
{
    fake.fail(VIDIOC_CROPCAP, EINVAL, 0, -1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(construction_error(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fake.cropped);
}

TEST_F(FakeDriver, FailingCropIsIgnored)
{
    fake.fail(VIDIOC_S_CROP, ENOTTY, 0, -1);
    EXPECT_EQ(construction_error(), "");
}

TEST_F(FakeDriver, InterruptedRequestsAreRepeated)
{
    fake.fail(VIDIOC_QUERYCAP, EINTR, 0, 3);
    fake.fail(VIDIOC_DQBUF, EINTR);
    Webcam webcam(path, 300, 300);
    EXPECT_EQ(fake.calls_of(VIDIOC_QUERYCAP), 4);
    const Bytes frame = random_frame(1);
    deliver(frame);
    EXPECT_EQ(pixels(webcam.frame(100)), expected_rgb(frame, fake.stride));
    EXPECT_EQ(fake.calls_of(VIDIOC_DQBUF), 2);
}

TEST_F(FakeDriver, DriverSizeWins)
{
    fake.answer.width = 320;
    fake.answer.height = 240;
    Webcam webcam(path, 300, 300);
    EXPECT_EQ(webcam.width(), 320);
    EXPECT_EQ(webcam.height(), 240);
    const Bytes frame = random_frame(2);
    deliver(frame);
    const RGBImage& image = webcam.frame(100);
    EXPECT_EQ(image.width, 320u);
    EXPECT_EQ(image.height, 240u);
    EXPECT_EQ(image.size, 320u * 240 * 3);
    EXPECT_EQ(pixels(image), expected_rgb(frame, 640));
}

TEST_F(FakeDriver, PaddedRowsFollowTheDriversStride)
{
    fake.answer.bytesperline = 2 * 300 + 64;
    Webcam webcam(path, 300, 300);
    const Bytes frame = random_frame(3);
    deliver(frame);
    EXPECT_EQ(pixels(webcam.frame(100)), expected_rgb(frame, 664));
}

// Rows are then taken to follow each other without padding.
TEST_F(FakeDriver, StrideBelowTheRowIsTheRow)
{
    for (int64_t bytesperline : {0, 599}) {
        fake.answer.bytesperline = bytesperline;
        fake.answer.length = 300 * 600;
        Webcam webcam(path, 300, 300);
        Bytes frame = random_frame(4);
        frame.resize(300 * 600);
        deliver(frame);
        EXPECT_EQ(pixels(webcam.frame(100)), expected_rgb(frame, 600)) << "bytesperline " << bytesperline;
    }
}

TEST_F(FakeDriver, OddWidthsKeepWholeRows)
{
    fake.answer.width = 301;
    Webcam webcam(path, 300, 300);
    const Bytes frame = random_frame(5);
    deliver(frame);
    const RGBImage& image = webcam.frame(100);
    EXPECT_EQ(image.size, 301u * 300 * 3);
    EXPECT_EQ(pixels(image), expected_rgb(frame, 602));
}

TEST_F(FakeDriver, EveryGrantFromTwoUpIsMappedAndQueued)
{
    for (uint32_t granted : {2u, 5u}) {
        fake.answer.buffers = granted;
        Webcam webcam(path, 300, 300);
        EXPECT_EQ(mapped_buffers(), granted);
        std::vector<uint32_t> all;
        for (uint32_t i = 0; i < granted; ++i)
            all.push_back(i);
        EXPECT_EQ(queued(), all);

        // Two rounds through the ring: every buffer comes back to the driver.
        for (uint32_t i = 0; i < 2 * granted; ++i) {
            const uint8_t luma = uint8_t(10 * i + 5);
            EXPECT_EQ(deliver(grey_frame(luma)), i % granted);
            EXPECT_EQ(webcam.frame(100).data[0], luma) << granted << " buffers, frame " << i;
        }
    }
}

TEST_F(FakeDriver, FramesComeInTheDriversOrder)
{
    Webcam webcam(path, 300, 300);
    for (uint8_t luma : {10, 20, 30})
        deliver(grey_frame(luma));
    for (uint8_t luma : {10, 20, 30})
        EXPECT_EQ(webcam.frame(100).data[0], luma);
    EXPECT_EQ(frame_error(webcam), path + ": select timeout");
}

TEST_F(FakeDriver, NoFrameWithinTheLimitTimesOutAndTheNextCallWaitsAgain)
{
    Webcam webcam(path, 300, 300);
    EXPECT_EQ(frame_error(webcam, 100), path + ": select timeout");
    EXPECT_EQ(fake.calls_of(call_wait), 1);
    EXPECT_TRUE(wait_limit_is(0, 100000));
    deliver(grey_frame(50));
    EXPECT_EQ(webcam.frame(250000).data[0], 50);
    EXPECT_TRUE(wait_limit_is(0, 250000000));
}

TEST_F(FakeDriver, ZeroTimeoutPolls)
{
    Webcam webcam(path, 300, 300);
    EXPECT_EQ(frame_error(webcam, 0), path + ": select timeout");
    EXPECT_TRUE(wait_limit_is(0, 0));
}

TEST_F(FakeDriver, InterruptedWaitStartsAgainWithTheFullLimit)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(60));
    fake.fail(call_wait, EINTR, 0, 2);
    EXPECT_EQ(webcam.frame(100).data[0], 60);
    EXPECT_EQ(fake.calls_of(call_wait), 3);
    EXPECT_TRUE(wait_limit_is(0, 100000));
}

// Limits of a second and more are seconds and microseconds, not an invalid wait.
TEST_F(FakeDriver, LongLimitsKeepTheirMicroseconds)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(40));
    EXPECT_EQ(webcam.frame(2500000).data[0], 40);
    EXPECT_TRUE(wait_limit_is(2, 500000000));
}

// select's descriptor set ends at 1024 and writing past it corrupted the stack.
TEST_F(FakeDriver, WaitsOnDescriptorsBeyondTheSelectLimit)
{
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit saved = limit;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < 1200)
        GTEST_SKIP() << "the hard limit of " << limit.rlim_max << " descriptors is too low";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> held;
    while (held.empty() || held.back() < 1100)
        held.push_back(dup(2));
    {
        Webcam webcam(path, 300, 300);
        EXPECT_GT(fake_fd, 1100);
        EXPECT_EQ(frame_error(webcam), path + ": select timeout");
        deliver(grey_frame(45));
        EXPECT_EQ(webcam.frame(100).data[0], 45);
    }
    for (int fd : held)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
}

struct LossPoint {
    const char* name;
    unsigned long call;
};

// The device is gone whichever request finds out first; the class says so
// with its own exception, and letting go of it adds nothing on stderr.
TEST_F(FakeDriver, ADeviceThatIsGoneIsReportedOnceAndReleasedQuietly)
{
    const LossPoint points[] = {{"wait", call_wait}, {"dequeue", VIDIOC_DQBUF}, {"requeue", VIDIOC_QBUF}};
    for (const LossPoint& point : points) {
        const size_t allocations = fake_live_allocations();
        auto webcam = std::make_unique<Webcam>(path, 300, 300);
        deliver(grey_frame(1));
        fake.fail(point.call, ENODEV, 0, -1);
        fake.fail(VIDIOC_STREAMOFF, ENODEV, 0, -1);
        std::string message;
        try {
            webcam->frame(100);
        } catch (const CaptureDeviceLost& e) {
            message = e.what();
        } catch (const std::runtime_error& e) {
            ADD_FAILURE() << point.name << ": not reported as lost: " << e.what();
        }
        EXPECT_EQ(message, path + ": the capture device is gone") << point.name;
        testing::internal::CaptureStderr();
        webcam.reset();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << point.name;
        EXPECT_EQ(mapped_buffers(), 0u) << point.name;
        EXPECT_EQ(fake_fd, -1) << point.name;
        EXPECT_EQ(fake_live_allocations(), allocations) << point.name;
        fake_reset();
    }
}

// Only ENODEV means the device is gone: a failed frame otherwise costs that frame.
TEST_F(FakeDriver, OtherFailuresAreNoLoss)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(80));
    fake.fail(VIDIOC_DQBUF, EIO);
    try {
        webcam.frame(100);
        ADD_FAILURE() << "no failure";
    } catch (const CaptureDeviceLost& e) {
        ADD_FAILURE() << "reported as lost: " << e.what();
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(webcam.frame(100).data[0], 80);
}

TEST_F(FakeDriver, FailingWaitThrows)
{
    Webcam webcam(path, 300, 300);
    fake.fail(call_wait, ENOMEM);
    EXPECT_EQ(frame_error(webcam), "select: Cannot allocate memory");
}

TEST_F(FakeDriver, ReadableWithoutBufferWaitsAgain)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(70));
    fake.fail(VIDIOC_DQBUF, EAGAIN);
    EXPECT_EQ(webcam.frame(100).data[0], 70);
    EXPECT_EQ(fake.calls_of(call_wait), 2);
    EXPECT_EQ(fake.calls_of(VIDIOC_DQBUF), 2);
}

TEST_F(FakeDriver, FailingDequeueThrows)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(80));
    fake.fail(VIDIOC_DQBUF, EIO);
    EXPECT_EQ(frame_error(webcam), "VIDIOC_DQBUF: Input/output error");
}

TEST_F(FakeDriver, FailingRequeueThrowsAfterConverting)
{
    Webcam webcam(path, 300, 300);
    const Bytes frame = random_frame(8);
    deliver(frame);
    fake.fail(VIDIOC_QBUF, EIO);
    EXPECT_EQ(frame_error(webcam), "VIDIOC_QBUF: Input/output error");
    deliver(grey_frame(90));
    EXPECT_EQ(webcam.frame(100).data[0], 90) << "the other buffers go on";
}

TEST_F(FakeDriver, UnknownBufferIndexIsAFailedFrame)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(100));
    fake.answer.dequeue_index = 4;
    EXPECT_EQ(frame_error(webcam), "the driver returned unknown buffer 4");
}

// A buffer flagged corrupt fails its frame alone: it is not converted and
// goes back to the driver.
TEST_F(FakeDriver, CorruptFrameFailsAndIsQueuedAgain)
{
    Webcam webcam(path, 300, 300);
    deliver(grey_frame(40));
    const RGBImage& image = webcam.frame(100);
    ASSERT_EQ(image.data[0], 40);
    fake.answer.dequeue_flags = V4L2_BUF_FLAG_ERROR;
    EXPECT_EQ(deliver(grey_frame(120)), 1u);
    EXPECT_EQ(frame_error(webcam), "the driver flagged a frame as corrupt");
    EXPECT_TRUE(fake.incoming.holds(1));
    EXPECT_EQ(image.data[0], 40) << "the image holds the frame before";
}

// A buffer too short for the agreed geometry is handed back unread.
TEST_F(FakeDriver, FrameLargerThanItsBufferIsNotConverted)
{
    fake.answer.length_of[1] = 300 * 600 - 1;
    Webcam webcam(path, 300, 300);
    const Bytes first = random_frame(9);
    deliver(first);
    const RGBImage& image = webcam.frame(100);
    ASSERT_EQ(pixels(image), expected_rgb(first, 600));

    EXPECT_EQ(deliver(grey_frame(110)), 1u);
    EXPECT_EQ(frame_error(webcam), "a frame of 180000 bytes does not fit its buffer of 179999 bytes");
    EXPECT_TRUE(fake.incoming.holds(1)) << "the buffer is queued again";
    EXPECT_EQ(pixels(image), expected_rgb(first, 600)) << "the image holds the frame before";
}

TEST_F(FakeDriver, DestructionReleasesEverythingQuietly)
{
    const size_t allocations = fake_live_allocations();
    testing::internal::CaptureStderr();
    {
        Webcam webcam(path, 300, 300);
        deliver(grey_frame(1));
        webcam.frame(100);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fake.streaming);
    EXPECT_EQ(fake.calls_of(VIDIOC_STREAMOFF), 1);
    EXPECT_EQ(mapped_buffers(), 0u);
    EXPECT_EQ(fake_fd, -1);
    EXPECT_EQ(fake_live_allocations(), allocations);
}

struct ReleaseFault {
    unsigned long call;
    int skip;
    const char* message;
    size_t mappings_left;
    bool descriptor_left;
};

// Each failing step is reported on one line and the others still run.
TEST_F(FakeDriver, FailingReleaseStepIsReportedAndTheOthersRun)
{
    const ReleaseFault faults[] = {
        {VIDIOC_STREAMOFF, 0, "VIDIOC_STREAMOFF", 0, false},
        {call_munmap, 1, "munmap", 1, false},
        {call_close, 0, "close", 0, true},
    };
    for (const ReleaseFault& f : faults) {
        const size_t allocations = fake_live_allocations();
        auto webcam = std::make_unique<Webcam>(path, 300, 300);
        fake.fail(f.call, EIO, f.skip);
        testing::internal::CaptureStderr();
        webcam.reset();
        const std::string report = testing::internal::GetCapturedStderr();
        EXPECT_NE(report.find(path), std::string::npos) << report;
        EXPECT_NE(report.find(f.message), std::string::npos) << report;
        EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
        EXPECT_EQ(report.back(), '\n');
        EXPECT_EQ(mapped_buffers(), f.mappings_left) << f.message;
        EXPECT_EQ(fake_fd != -1, f.descriptor_left) << f.message;
        EXPECT_EQ(fake_live_allocations(), allocations) << f.message;
        fake_reset();
    }
}

}  // namespace
