#include "xvfb.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

pid_t spawnServer(const std::vector<std::string>& args, const std::vector<std::string>& env, int otherEnd = -1)
{
    std::vector<char*> argv;
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    auto overridden = [&](const char* entry) {
        for (const auto& e : env)
            if (std::strncmp(e.c_str(), entry, e.find('=') + 1) == 0)
                return true;
        return false;
    };
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e)
        if (!overridden(*e))
            envp.push_back(*e);
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (otherEnd >= 0)
        posix_spawn_file_actions_addclose(&actions, otherEnd);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return failed ? -1 : pid;
}

std::string readLine(int fd)
{
    std::string line;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

bool answers(const std::string& display)
{
    Display* connection = XOpenDisplay(display.c_str());
    if (connection)
        XCloseDisplay(connection);
    return connection != nullptr;
}

// The server names its display on the descriptor given after `-displayfd`
// once it listens. It keeps its state when its last client leaves: by default
// it would reset then, turning away the clients that connect meanwhile and
// putting the pointer back in the middle of the screen. A server that dies
// before it answers is started again.
pid_t startXServer(std::vector<std::string> args, std::string& display, const std::function<void(pid_t)>& spawned)
{
    args.insert(args.end(), {"-nolisten", "tcp", "-noreset", "-displayfd"});
    for (int tries = 0; tries < 3; ++tries) {
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        args.push_back(std::to_string(fds[1]));
        pid_t pid = spawnServer(args, {}, fds[0]);
        args.pop_back();
        close(fds[1]);
        if (pid > 0 && spawned)
            spawned(pid);
        std::string number = pid > 0 ? readLine(fds[0]) : "";
        close(fds[0]);
        if (pid <= 0)
            return -1;
        display = ":" + number;
        if (!number.empty() && answers(display))
            return pid;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

// A mode line for a WxH mode with reduced blanking, refreshed at 60 Hz where
// the dummy driver's pixel clock allows it.
std::string modeLine(int width, int height)
{
    const int htotal = width + 160;
    const int vtotal = height + 30;
    const double maxClock = 290e6;
    double refresh = std::min(60.0, maxClock / (double(htotal) * vtotal));
    double clock = double(htotal) * vtotal * refresh / 1e6;
    std::string name = std::to_string(width) + "x" + std::to_string(height);
    return "    Modeline \"" + name + "\" " + std::to_string(clock) + " " + std::to_string(width) + " " +
           std::to_string(width + 48) + " " + std::to_string(width + 80) + " " + std::to_string(htotal) +
           " " + std::to_string(height) + " " + std::to_string(height + 3) + " " +
           std::to_string(height + 8) + " " + std::to_string(vtotal) + " +hsync -vsync\n";
}

bool connects(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd < 0 || path.size() >= sizeof address.sun_path)
        return false;
    path.copy(address.sun_path, path.size());
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

// `pid` once a client can connect to its socket at `path`; -1 when it ends or
// a minute passes first.
pid_t serving(pid_t pid, const std::string& path, const std::function<void(pid_t)>& spawned)
{
    if (pid <= 0)
        return -1;
    if (spawned)
        spawned(pid);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!connects(path)) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pid;
}

}  // namespace

pid_t startXvfb(const std::string& screen, std::string& display, const std::function<void(pid_t)>& spawned)
{
    return startXServer({"Xvfb", "-screen", "0", screen}, display, spawned);
}

// No input devices, no VT switching and no configuration but this file: the
// server runs beside whatever the machine has.
pid_t startXorgDummy(int width, int height, const std::string& folder, std::string& display,
                     const std::function<void(pid_t)>& spawned)
{
    const std::string config = folder + "/xorg.conf";
    const std::string noMoreConfig = folder + "/xorg.conf.d";
    mkdir(noMoreConfig.c_str(), 0755);
    std::ofstream(config) << "Section \"ServerFlags\"\n"
                             "    Option \"AutoAddDevices\" \"false\"\n"
                             "    Option \"AutoAddGPU\" \"false\"\n"
                             "    Option \"DontVTSwitch\" \"true\"\n"
                             "EndSection\n"
                             "Section \"Device\"\n"
                             "    Identifier \"card\"\n"
                             "    Driver \"dummy\"\n"
                             "    VideoRam 256000\n"
                             "EndSection\n"
                             "Section \"Monitor\"\n"
                             "    Identifier \"panel\"\n"
                             "    HorizSync 10-300\n"
                             "    VertRefresh 10-100\n"
                             "    Option \"ReducedBlanking\" \"true\"\n"
                          << modeLine(width, height)
                          << "EndSection\n"
                             "Section \"Screen\"\n"
                             "    Identifier \"screen\"\n"
                             "    Device \"card\"\n"
                             "    Monitor \"panel\"\n"
                             "    DefaultDepth 24\n"
                             "    SubSection \"Display\"\n"
                             "        Depth 24\n"
                             "        Modes \""
                          << width << "x" << height
                          << "\"\n"
                             "        Virtual "
                          << width << " " << height
                          << "\n"
                             "    EndSubSection\n"
                             "EndSection\n";
    return startXServer({"Xorg", "-config", config, "-configdir", noMoreConfig, "-logfile", folder + "/xorg.log",
                         "-novtswitch"},
                        display, spawned);
}

pid_t startWeston(const std::string& xDisplay, int width, int height, int scale, const std::string& runtimeDir,
                  const std::string& socket, const std::string& folder,
                  const std::function<void(pid_t)>& spawned)
{
    pid_t pid = spawnServer({"weston", "--backend=x11-backend.so", "--shell=kiosk-shell.so", "--use-pixman",
                             "--idle-time=0", "--width=" + std::to_string(width / scale),
                             "--height=" + std::to_string(height / scale), "--scale=" + std::to_string(scale),
                             "--socket=" + socket,
                             "--log=" + folder + "/weston.log"},
                            {"DISPLAY=" + xDisplay, "XDG_RUNTIME_DIR=" + runtimeDir});
    return serving(pid, runtimeDir + "/" + socket, spawned);
}

pid_t startPulseAudio(const std::string& runtimeDir, const std::function<void(pid_t)>& spawned)
{
    pid_t pid = spawnServer({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--log-target=stderr",
                             "-L", "module-native-protocol-unix", "-L", "module-null-sink sink_name=heard"},
                            {"XDG_RUNTIME_DIR=" + runtimeDir, "HOME=" + runtimeDir});
    return serving(pid, runtimeDir + "/pulse/native", spawned);
}

pid_t startPipeWire(const std::string& runtimeDir, const std::function<void(pid_t)>& spawned)
{
    pid_t pid = spawnServer({MOSAIC_PIPEWIRE_SESSION}, {"XDG_RUNTIME_DIR=" + runtimeDir, "HOME=" + runtimeDir});
    return serving(pid, runtimeDir + "/pipewire-0", spawned);
}
