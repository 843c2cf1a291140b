#include "xvfb.h"

#include <X11/Xlib.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The server names its display on `displayFd` once it listens. It keeps its
// state when its last client leaves: by default it would reset then, turning
// away the clients that connect meanwhile and putting the pointer back in the
// middle of the screen.
pid_t spawnXvfb(const std::string& screen, int displayFd, int otherEnd)
{
    const std::string fd = std::to_string(displayFd);
    const char* const argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
                                "-nolisten", "tcp", "-noreset", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, otherEnd);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, "Xvfb", &actions, nullptr, const_cast<char* const*>(argv), environ);
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

}  // namespace

// A server that dies before it answers is started again.
pid_t startXvfb(const std::string& screen, std::string& display, const std::function<void(pid_t)>& spawned)
{
    for (int tries = 0; tries < 3; ++tries) {
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        pid_t pid = spawnXvfb(screen, fds[1], fds[0]);
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
