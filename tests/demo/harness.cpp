#include "harness.h"
#include "xvfb.h"

#include <gtest/gtest.h>
#include <stb_image.h>
#include <stb_image_write.h>
#include <zlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

const char* const demoBinary = MOSAIC_DEMO;
const char* const dataDir = MOSAIC_DATA_DIR;
const char* const frameHookLibrary = MOSAIC_FRAMEHOOK;
const char* const hideGLExtensionLibrary = MOSAIC_HIDE_GL_EXTENSION;
static const char* const closeWindowTool = MOSAIC_CLOSEWINDOW;
static const char* const chiptuneTool = MOSAIC_CHIPTUNE;

namespace {

// Whatever ends the test program, a time-out's kill included, a process of
// its own takes down the program's display servers and removes its temporary folders.
// It hears of them through a socket whose far end only this program holds, so
// the end of the stream tells it the program is gone. It is started before any
// thread exists and leaves the program's process tree, which a test runner
// ends whole on a time-out.
class Reaper {
public:
    Reaper()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        pid_t child = fork();
        if (child == 0) {
            close(fds[1]);
            if (fork() == 0) {
                setsid();
                // Holding the runner's output pipes open would keep it waiting.
                int null = open("/dev/null", O_RDWR);
                for (int fd = 0; fd <= 2; ++fd)
                    dup2(null, fd);
                watch(fds[0]);
            }
            _exit(0);
        }
        close(fds[0]);
        if (child > 0) {
            waitpid(child, nullptr, 0);
            out = fds[1];
        } else {
            close(fds[1]);
        }
    }

    void server(pid_t pid) { tell("server " + std::to_string(pid)); }
    void serverGone(pid_t pid) { tell("gone " + std::to_string(pid)); }
    void folder(const std::string& path) { tell("folder " + path); }
    void forget(const std::string& path) { tell("forget " + path); }

private:
    [[noreturn]] static void watch(int in)
    {
        std::set<pid_t> servers;
        std::set<std::string> folders;
        FILE* messages = fdopen(in, "r");
        char* line = nullptr;
        size_t capacity = 0;
        ssize_t length;
        while (messages && (length = getline(&line, &capacity, messages)) > 0) {
            std::string message(line, size_t(length) - 1);
            std::string word = message.substr(0, message.find(' '));
            std::string rest = message.substr(word.size() + 1);
            if (word == "server")
                servers.insert(std::stoi(rest));
            else if (word == "gone")
                servers.erase(std::stoi(rest));
            else if (word == "folder")
                folders.insert(rest);
            else if (word == "forget")
                folders.erase(rest);
        }
        for (pid_t server : servers)
            kill(server, SIGTERM);
        for (const auto& folder : folders) {
            std::error_code ignored;
            fs::remove_all(folder, ignored);
        }
        _exit(0);
    }

    void tell(const std::string& message)
    {
        std::string line = message + "\n";
        // A reaper that is gone fails the test rather than kill the program.
        if (out >= 0) {
            EXPECT_EQ(send(out, line.data(), line.size(), MSG_NOSIGNAL), ssize_t(line.size()));
        }
    }

    int out = -1;
};

Reaper& reaper()
{
    static Reaper instance;
    return instance;
}

// One Xvfb server for the whole test program.
class XvfbEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        reaper();
        // An emulated machine copes with a smaller screen only.
        const char* screen = std::getenv("MOSAIC_TEST_SCREEN");
        std::string display;
        server = startXvfb(screen && *screen ? screen : "1920x1080x24", display,
                           [](pid_t pid) { reaper().server(pid); });
        ASSERT_GT(server, 0) << "Xvfb did not start";
        setenv("DISPLAY", display.c_str(), 1);
    }

    void TearDown() override
    {
        if (server > 0) {
            reaper().serverGone(server);
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
    }

private:
    pid_t server = 0;
};

const auto* const xvfb = ::testing::AddGlobalTestEnvironment(new XvfbEnvironment);

// The server keeps the pointer where a test left it: each test starts with it
// where a fresh server has it, in the middle of the screen.
class PointerInTheMiddle : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override
    {
        Display* display = XOpenDisplay(nullptr);
        if (!display)
            return;
        Screen* screen = DefaultScreenOfDisplay(display);
        XWarpPointer(display, None, RootWindowOfScreen(screen), 0, 0, 0, 0, WidthOfScreen(screen) / 2,
                     HeightOfScreen(screen) / 2);
        XSync(display, False);
        XCloseDisplay(display);
    }
};

const bool pointerInTheMiddle =
    (::testing::UnitTest::GetInstance()->listeners().Append(new PointerInTheMiddle), true);

std::string tempRoot()
{
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp ? tmp : "/tmp";
}

// Tracks are made once per length and copied into each working directory.
std::string trackFile(double seconds)
{
    static std::map<double, std::string> made;
    static std::string cache;
    auto found = made.find(seconds);
    if (found != made.end())
        return found->second;
    if (cache.empty()) {
        std::string pattern = tempRoot() + "/mosaic-tracks-XXXXXX";
        cache = mkdtemp(pattern.data());
        reaper().folder(cache);
        std::atexit([] { fs::remove_all(cache); });
    }
    std::ostringstream length;
    length << seconds;
    std::string path = cache + "/" + length.str() + ".ogg";
    EXPECT_EQ(runTool({chiptuneTool, "--seconds", length.str(), path}), 0) << "chiptune failed";
    made[seconds] = path;
    return path;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& cwd,
            const std::string& out, const std::string& err, const std::vector<int>& closed = {})
{
    auto overridden = [&](const std::string& entry) {
        std::string name = entry.substr(0, entry.find('=') + 1);
        for (const auto& e : env)
            if (e.compare(0, name.size(), name) == 0)
                return true;
        return false;
    };
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e)
        if (!overridden(*e))
            environment.push_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    auto argv = pointers(args);
    auto envp = pointers(environment);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!out.empty())
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!err.empty())
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int fd : closed)
        posix_spawn_file_actions_addclose(&actions, fd);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

int exitStatus(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

}  // namespace

WorkDir::WorkDir(double trackSeconds)
{
    std::string pattern = tempRoot() + "/mosaic-run-XXXXXX";
    root = mkdtemp(pattern.data());
    reaper().folder(root);
    for (const char* name : {"mosaic.vert", "mosaic.frag", "sdf.frag"})
        fs::copy_file(fs::path(dataDir) / name, path(name));
    writePNG(path("scroller.png"), 2, 2, 4, {255, 0, 0, 255, 0, 255, 0, 128, 0, 0, 255, 64, 255, 255, 255, 0});
    writeTrack(trackSeconds);
}

WorkDir::~WorkDir()
{
    // A failed test leaves its directory behind for a look at what the demo saw.
    if (::testing::Test::HasFailure())
        std::fprintf(stderr, "kept %s\n", root.c_str());
    else
        fs::remove_all(root);
    reaper().forget(root);
}

std::string WorkDir::path(const std::string& name) const
{
    return name.empty() ? root : root + "/" + name;
}

void WorkDir::write(const std::string& name, const std::string& contents) const
{
    std::ofstream(path(name), std::ios::binary | std::ios::trunc) << contents;
}

void WorkDir::remove(const std::string& name) const
{
    fs::remove_all(path(name));
}

void WorkDir::makeDirectory(const std::string& name) const
{
    remove(name);
    fs::create_directory(path(name));
}

void WorkDir::makeFifo(const std::string& name) const
{
    remove(name);
    EXPECT_EQ(mkfifo(path(name).c_str(), 0644), 0) << name;
}

void WorkDir::symlink(const std::string& name, const std::string& target) const
{
    remove(name);
    fs::create_symlink(target, path(name));
}

void WorkDir::writeTrack(double seconds) const
{
    fs::copy_file(trackFile(seconds), path("chiptune2.ogg"), fs::copy_options::overwrite_existing);
}

void quitOnceBuilt(const WorkDir& dir, RunOptions& options)
{
    options.input = [&dir](pid_t pid) {
        auto built = [&] { return readFile(dir.path(".stdout")).find("built the shaders") != std::string::npos; };
        if (waitWhileRunning(pid, built, "the preview built its shaders"))
            xdotool({"key", "Escape"});
    };
}

void hideGLExtension(RunOptions& options, const std::string& extension)
{
    options.preload.push_back(hideGLExtensionLibrary);
    options.env.push_back("HIDE_GL_EXTENSION=" + extension);
}

RunResult runDemo(const WorkDir& dir, const RunOptions& options)
{
    return runProgram(dir, {demoBinary}, options);
}

RunResult runProgram(const WorkDir& dir, const std::vector<std::string>& argv, const RunOptions& options)
{
    std::vector<std::string> env = options.env;
    // The libraries leave their memory to the process exit by design.
    env.push_back("ASAN_OPTIONS=detect_leaks=0:verify_asan_link_order=0");
    // Nobody hears the sound unless a test asks for a driver of its own.
    if (std::none_of(env.begin(), env.end(), [](const std::string& v) { return v.rfind("SDL_AUDIODRIVER=", 0) == 0; }))
        env.push_back("SDL_AUDIODRIVER=dummy");
    if (!options.preload.empty()) {
        std::string list;
        for (const auto& library : options.preload)
            list += (list.empty() ? "" : ":") + library;
        env.push_back("LD_PRELOAD=" + list);
    }
    RunResult result;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = spawn(argv, env, dir.path(), dir.path(".stdout"), dir.path(".stderr"),
                      options.closedStreams);
    EXPECT_GT(pid, 0) << "could not start " << argv.front();
    if (pid <= 0)
        return result;
    if (options.input)
        options.input(pid);
    auto spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start);
    double left = options.timeoutSeconds - spent.count();
    int wstatus = 0;
    if (!waitFor([&] { return waitpid(pid, &wstatus, WNOHANG) != 0; }, left)) {
        ADD_FAILURE() << argv.front() << " did not end within " << options.timeoutSeconds << " s";
        kill(pid, SIGKILL);
        waitpid(pid, &wstatus, 0);
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = exitStatus(wstatus);
    result.out = readFile(dir.path(".stdout"));
    result.err = readFile(dir.path(".stderr"));
    return result;
}

pid_t startTool(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out)
{
    return spawn(argv, env, "", out, "/dev/null");
}

int runTool(const std::vector<std::string>& argv, const std::vector<std::string>& env)
{
    pid_t pid = spawn(argv, env, "", "/dev/null", "");
    if (pid <= 0)
        return -1;
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    return exitStatus(wstatus);
}

static std::vector<std::string> onDisplay(const std::string& display)
{
    return display.empty() ? std::vector<std::string>{} : std::vector<std::string>{"DISPLAY=" + display};
}

void xdotool(const std::vector<std::string>& args, const std::string& display)
{
    std::vector<std::string> argv = {"xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(runTool(argv, onDisplay(display)), 0) << "xdotool " << args.front() << " failed";
}

// What `command` prints on standard output.
static std::string commandOutput(const std::string& command)
{
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return "";
    std::string output;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    pclose(pipe);
    return output;
}

static std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find('\n'));
}

// What xdotool says of the window of the program `pid`: this xdotool takes a
// command after a search as one more pattern, so the window is asked for first.
static std::string describeWindow(pid_t pid, const std::string& command)
{
    std::string window = firstLine(commandOutput("xdotool search --pid " + std::to_string(pid)));
    return window.empty() ? "" : commandOutput("xdotool " + command + " " + window);
}

std::string windowTitle(pid_t pid)
{
    return firstLine(describeWindow(pid, "getwindowname"));
}

std::string windowGeometry(pid_t pid)
{
    for (const auto& line : lines(describeWindow(pid, "getwindowgeometry")))
        if (size_t at = line.find("Geometry: "); at != std::string::npos)
            return line.substr(at + 10);
    return "";
}

void requestClose(const std::string& display)
{
    EXPECT_EQ(runTool({closeWindowTool, "My First Shader"}, onDisplay(display)), 0) << "no window to close";
}

bool waitFor(const std::function<bool()>& done, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool running(pid_t pid)
{
    siginfo_t info{};
    return waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == 0;
}

bool waitWhileRunning(pid_t pid, const std::function<bool()>& done, const std::string& what, double seconds)
{
    bool ended = false;
    waitFor([&] { return done() || (ended = !running(pid)); }, seconds);
    // The program may have done it just before it ended.
    if (done())
        return true;
    ADD_FAILURE() << (ended ? "the program ended before " : "gave up waiting until ") << what;
    return false;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

static Image readPPM(const std::string& path)
{
    Image image;
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int maxValue = 0;
    in >> magic >> image.width >> image.height >> maxValue;
    in.get();
    if (magic != "P6" || maxValue != 255 || image.width <= 0 || image.height <= 0) {
        ADD_FAILURE() << "no frame in " << path;
        return Image{};
    }
    image.rgb.resize(size_t(image.width) * image.height * 3);
    in.read(reinterpret_cast<char*>(image.rgb.data()), std::streamsize(image.rgb.size()));
    EXPECT_TRUE(in) << "short frame in " << path;
    return image;
}

size_t pixelsApart(const Image& a, const Image& b)
{
    size_t count = 0;
    for (size_t i = 0; i + 2 < a.rgb.size() && i + 2 < b.rgb.size(); i += 3)
        count += std::abs(a.rgb[i] - b.rgb[i]) > 8 || std::abs(a.rgb[i + 1] - b.rgb[i + 1]) > 8 ||
                 std::abs(a.rgb[i + 2] - b.rgb[i + 2]) > 8;
    return count;
}

Image readPNG(const std::string& path)
{
    Image image;
    int channels = 0;
    unsigned char* pixels = stbi_load(path.c_str(), &image.width, &image.height, &channels, 3);
    EXPECT_TRUE(pixels) << "no PNG in " << path;
    if (pixels)
        image.rgb.assign(pixels, pixels + size_t(image.width) * image.height * 3);
    stbi_image_free(pixels);
    return image;
}

void writePNG(const std::string& path, int width, int height, int channels,
              const std::vector<uint8_t>& pixels)
{
    EXPECT_TRUE(stbi_write_png(path.c_str(), width, height, channels, pixels.data(), width * channels))
        << "could not write " << path;
}

namespace {

void putChunk(std::ofstream& out, const char* type, const std::vector<uint8_t>& data)
{
    auto put32 = [&](uint32_t value) {
        const char bytes[] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
        out.write(bytes, 4);
    };
    put32(uint32_t(data.size()));
    out.write(type, 4);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    put32(uint32_t(crc32(crc, data.data(), uInt(data.size()))));
}

}  // namespace

void writeBlankPNG(const std::string& path, int width, int height, int bitDepth, int colourType)
{
    const int samples = std::map<int, int>{{0, 1}, {2, 3}, {3, 1}, {4, 2}, {6, 4}}.at(colourType);
    // A filter byte, then the row's samples.
    std::vector<uint8_t> row(1 + (size_t(width) * samples * bitDepth + 7) / 8);
    std::vector<uint8_t> compressed;
    std::vector<uint8_t> buffer(1 << 16);
    z_stream stream{};
    ASSERT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, 15, 9, Z_RLE), Z_OK);
    for (int y = 0; y < height; ++y) {
        stream.next_in = row.data();
        stream.avail_in = uInt(row.size());
        do {
            stream.next_out = buffer.data();
            stream.avail_out = uInt(buffer.size());
            deflate(&stream, y == height - 1 ? Z_FINISH : Z_NO_FLUSH);
            compressed.insert(compressed.end(), buffer.data(), stream.next_out);
        } while (stream.avail_out == 0);
    }
    deflateEnd(&stream);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write("\x89PNG\r\n\x1a\n", 8);
    std::vector<uint8_t> header = {uint8_t(width >> 24), uint8_t(width >> 16), uint8_t(width >> 8), uint8_t(width),
                                   uint8_t(height >> 24), uint8_t(height >> 16), uint8_t(height >> 8),
                                   uint8_t(height), uint8_t(bitDepth), uint8_t(colourType), 0, 0, 0};
    putChunk(out, "IHDR", header);
    if (colourType == 3)
        putChunk(out, "PLTE", {0, 0, 0});
    putChunk(out, "IDAT", compressed);
    putChunk(out, "IEND", {});
    EXPECT_TRUE(out) << "could not write " << path;
}

FrameHook::FrameHook(const WorkDir& workDir, const std::string& grabList)
    : dir(workDir.path(".frames")), grab(grabList)
{
    fs::create_directory(dir);
}

void FrameHook::addTo(RunOptions& options) const
{
    options.preload.push_back(frameHookLibrary);
    options.env.push_back("FRAMEHOOK_DIR=" + dir);
    if (!grab.empty())
        options.env.push_back("FRAMEHOOK_GRAB=" + grab);
    if (!probe.empty())
        options.env.push_back("FRAMEHOOK_PROBE=" + probe);
    options.env.push_back("FRAMEHOOK_TIMES=" + dir + "/times");
    options.env.push_back("FRAMEHOOK_CLOCK=" + dir + "/clock");
}

double FrameHook::shownSeconds(long frame) const
{
    std::istringstream in(readFile(dir + "/clock"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long number = 0;
        std::string time;
        std::string latency;
        if (fields >> number >> time >> latency && number == frame && time != "-" && latency != "-")
            return std::stod(time) - std::stod(latency);
    }
    return -1;
}

std::vector<FrameHook::ClockRead> FrameHook::clockReads() const
{
    std::vector<ClockRead> reads;
    std::istringstream in(readFile(dir + "/clock"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        long frame = 0;
        double time = 0;
        double latency = 0;
        long long at = 0;
        long long seen = 0;
        if (fields >> frame >> time >> latency >> at >> seen)
            reads.push_back({at, seen, time - latency});
    }
    return reads;
}

int64_t FrameHook::swapNanoseconds(long frame) const
{
    std::istringstream in(readFile(dir + "/times"));
    long number = 0;
    long long before = 0, after = 0;
    while (in >> number >> before >> after)
        if (number == frame)
            return after;
    ADD_FAILURE() << "no time for frame " << frame;
    return 0;
}

int64_t monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

Image FrameHook::frame(const std::string& which) const
{
    return readPPM(dir + "/frame-" + which + ".ppm");
}

static long summaryValue(const std::string& dir, const std::string& key)
{
    std::istringstream in(readFile(dir + "/summary"));
    std::string name;
    long value = 0;
    while (in >> name >> value)
        if (name == key)
            return value;
    ADD_FAILURE() << "no " << key << " in the frame hook's summary";
    return -2;
}

long FrameHook::swapsSoFar() const
{
    std::string times = readFile(dir + "/times");
    return long(std::count(times.begin(), times.end(), '\n'));
}

bool FrameHook::waitForSwaps(pid_t demo, long count, double seconds) const
{
    return waitWhileRunning(demo, [&] { return swapsSoFar() >= count; },
                            "frame " + std::to_string(count) + " was swapped", seconds);
}

long FrameHook::swaps() const
{
    return summaryValue(dir, "swaps");
}

long FrameHook::musicStopped() const
{
    return summaryValue(dir, "music_stopped");
}

std::vector<std::vector<uint8_t>> FrameHook::probes() const
{
    std::vector<std::vector<uint8_t>> result;
    // While the demo runs, its last line may be still unwritten.
    std::string text = readFile(dir + "/probe");
    text.erase(text.find_last_of('\n') + 1);
    for (const auto& line : lines(text)) {
        std::istringstream in(line);
        long frame = 0;
        std::string hex;
        in >> frame >> hex;
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        result.push_back(bytes);
    }
    return result;
}

Image grabScreen(const std::string& name)
{
    Image image;
    Display* display = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (!display)
        return image;
    Screen* screen = DefaultScreenOfDisplay(display);
    XImage* grab = XGetImage(display, RootWindowOfScreen(screen), 0, 0, unsigned(WidthOfScreen(screen)),
                             unsigned(HeightOfScreen(screen)), AllPlanes, ZPixmap);
    if (grab) {
        image.width = grab->width;
        image.height = grab->height;
        image.rgb.reserve(size_t(image.width) * image.height * 3);
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x) {
                unsigned long pixel = XGetPixel(grab, x, y);
                for (unsigned long mask : {grab->red_mask, grab->green_mask, grab->blue_mask})
                    image.rgb.push_back(uint8_t((pixel & mask) / (mask & ~(mask << 1))));
            }
        XDestroyImage(grab);
    }
    XCloseDisplay(display);
    return image;
}

static std::string serverFolder()
{
    std::string pattern = tempRoot() + "/mosaic-server-XXXXXX";
    std::string folder = mkdtemp(pattern.data());
    reaper().folder(folder);
    return folder;
}

static void tellReaper(pid_t pid)
{
    reaper().server(pid);
}

TestServer TestServer::xvfb(const std::string& screen)
{
    TestServer server;
    server.pid = startXvfb(screen, server.display, tellReaper);
    return server;
}

TestServer TestServer::xorgDummy(int width, int height)
{
    TestServer server;
    server.folder = serverFolder();
    server.pid = startXorgDummy(width, height, server.folder, server.display, tellReaper);
    return server;
}

TestServer TestServer::weston(int width, int height, int scale)
{
    TestServer server;
    server.folder = serverFolder();
    server.wayland = true;
    server.display = "mosaic-test";
    chmod(server.folder.c_str(), 0700);
    server.pid = startWeston(std::getenv("DISPLAY"), width, height, scale, server.folder, server.display,
                             server.folder, tellReaper);
    return server;
}

TestServer TestServer::soundServer(SoundStart start)
{
    TestServer server;
    server.folder = serverFolder();
    server.sound = true;
    server.soundStart = start;
    chmod(server.folder.c_str(), 0700);
    server.pid = start(server.folder, tellReaper);
    return server;
}

TestServer TestServer::pulseAudio()
{
    return soundServer(startPulseAudio);
}

TestServer TestServer::pipeWire()
{
    return soundServer(startPipeWire);
}

TestServer::TestServer(TestServer&& other) noexcept
    : display(std::move(other.display)), pid(other.pid), soundStart(other.soundStart),
      folder(std::move(other.folder)), wayland(other.wayland), sound(other.sound)
{
    other.pid = -1;
    other.folder.clear();
}

TestServer::~TestServer()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        reaper().serverGone(pid);
    }
    if (!folder.empty()) {
        fs::remove_all(folder);
        reaper().forget(folder);
    }
}

void TestServer::end(int signal)
{
    kill(pid, signal);
    waitpid(pid, nullptr, 0);
    reaper().serverGone(pid);
    pid = -1;
}

void TestServer::killNow()
{
    end(SIGKILL);
}

void TestServer::stop()
{
    end(SIGTERM);
}

bool TestServer::startAgain()
{
    pid = soundStart(folder, tellReaper);
    return pid > 0;
}

std::vector<std::string> TestServer::clientEnv() const
{
    // Both servers' sockets, of which the one that does not run is not there:
    // a client looks for neither elsewhere, as on the desktop's servers.
    if (sound)
        return {"PULSE_SERVER=unix:" + folder + "/pulse/native", "XDG_RUNTIME_DIR=" + folder,
                "PIPEWIRE_REMOTE=pipewire-0"};
    if (!wayland)
        return {"DISPLAY=" + display};
    // libdecor, which SDL would ask for the window's frame, reports on
    // standard error that it has no plugin to draw one; a fullscreen window
    // has no frame.
    return {"SDL_VIDEODRIVER=wayland", "WAYLAND_DISPLAY=" + display, "XDG_RUNTIME_DIR=" + folder,
            "SDL_VIDEO_WAYLAND_ALLOW_LIBDECOR=0"};
}
