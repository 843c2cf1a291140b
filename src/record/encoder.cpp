#include "encoder.h"
#include "fail.h"
#include "video-planes.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

static std::vector<std::string> ffmpegArguments(const Options& options, const std::string& path)
{
    // -y only lets ffmpeg write over the empty file made for it. Without
    // -xerror, ffmpeg 5.1 says it could not write the file's end (on a full
    // disk) and still exits with status 0.
    std::vector<std::string> args = {
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-xerror", "-y",
        "-f", "rawvideo", "-pix_fmt", "yuv420p",
        "-s", std::to_string(options.width) + "x" + std::to_string(options.height),
        "-r", std::to_string(options.fps), "-i", "-",
        "-i", "chiptune2.ogg", "-map", "0:v", "-map", "1:a",
        // Tagged with the colours the planes are in, so that players show
        // what was meant.
        "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
        "-color_range", "tv"};
    const std::vector<std::string> codecs =
        options.webm
            // The track is already Vorbis, which WebM carries as it is.
            ? std::vector<std::string>{"-c:v", "libvpx-vp9", "-crf", "30", "-b:v", "0",
                                       "-deadline", "good", "-cpu-used", "4", "-row-mt", "1",
                                       "-c:a", "copy", "-f", "webm"}
            // x264's default preset took as long as llvmpipe's rendering here;
            // veryfast doubled the recording rate and made no larger a file.
            // Its quickest sub-pixel motion search, with only whole
            // macroblocks and intra partitions searched, takes another 30 to
            // 40 % off x264's time; at a CRF of 19 rather than 18 the file is
            // then 11 to 13 % larger than veryfast's, and 0.8 to 0.9 dB lower
            // in PSNR against the frames (44.5 to 44.7 dB). x264 runs a
            // thread a core (0, its own choice, when that is unknown) rather
            // than its default 1.5: on two cores beside the rendering that
            // recorded some 10 % faster.
            : std::vector<std::string>{"-c:v", "libx264", "-preset", "veryfast", "-crf", "19",
                                       "-x264-params", "subme=1:partitions=i8x8,i4x4",
                                       "-threads", std::to_string(std::thread::hardware_concurrency()),
                                       "-c:a", "aac",
                                       "-b:a", "192k", "-movflags", "+faststart", "-f", "mp4"};
    args.insert(args.end(), codecs.begin(), codecs.end());
    args.push_back(path);
    return args;
}

Encoder startEncoder(const Options& options, const std::string& path)
{
    // A failing ffmpeg closes its end of the pipe; the write then reports it
    // instead of the signal ending the recorder without a word.
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        fail("could not make a pipe to ffmpeg: %s", std::strerror(errno));
    // A frame is megabytes; a pipe of the default 64 KiB would pass it in a
    // hundred turns between the two processes. A failure leaves the default.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    int pipeBytes = fcntl(fds[1], F_GETPIPE_SZ);
    if (pipeBytes <= 0)
        fail("could not tell the size of the pipe to ffmpeg: %s", std::strerror(errno));
    std::vector<std::string> args = ffmpegArguments(options, path);
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    Encoder encoder;
    // Enough buffers that those sent after any one of them fill the pipe.
    size_t frameBytes = videoPlaneBytes(options.width, options.height);
    size_t framesToFillThePipe = (static_cast<size_t>(pipeBytes) + frameBytes - 1) / frameBytes;
    encoder.frames.assign(framesToFillThePipe + 1, std::vector<uint8_t>(frameBytes));
    int error = 0;
    // Started from a thread of its own, as ffmpeg takes the starting thread's
    // priority and this one keeps its own.
    std::thread([&] {
        giveWayToRendering();
        error = posix_spawnp(&encoder.pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    }).join();
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (error != 0) {
        close(fds[1]);
        fail("could not start ffmpeg: %s", std::strerror(error));
    }
    encoder.input = fds[1];
    return encoder;
}

void giveWayToRendering()
{
    // Linux keeps a nice value per thread.
    setpriority(PRIO_PROCESS, 0, 19);
}

uint8_t* frameToFill(Encoder& encoder)
{
    return encoder.frames[encoder.nextFrame].data();
}

bool sendFrame(Encoder& encoder)
{
    std::vector<uint8_t>& frame = encoder.frames[encoder.nextFrame];
    encoder.nextFrame = (encoder.nextFrame + 1) % encoder.frames.size();
    // vmsplice puts references to the frame's pages into the pipe, and
    // ffmpeg's read copies from them. A write copied the frame into pages the
    // kernel first allocated and cleared, which took the recorder's own
    // threads a fifth longer and the reader nearly twice as long.
    iovec rest{frame.data(), frame.size()};
    while (rest.iov_len > 0) {
        ssize_t lent = vmsplice(encoder.input, &rest, 1, 0);
        if (lent < 0 && errno == EINTR)
            continue;
        if (lent <= 0)
            return false;
        rest.iov_base = static_cast<uint8_t*>(rest.iov_base) + lent;
        rest.iov_len -= static_cast<size_t>(lent);
    }
    return true;
}

void finishEncoder(Encoder& encoder)
{
    close(encoder.input);
    encoder.input = -1;
    int status = 0;
    while (waitpid(encoder.pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        fail("ffmpeg was ended by signal %d", WTERMSIG(status));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fail("ffmpeg failed with exit status %d", WEXITSTATUS(status));
}
