#include "safe-output.h"
#include "fail.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

// A signal handler can reach nothing else: the two names and the writer, set
// while the signals are blocked.
static char temporaryPath[PATH_MAX];
static char finalPath[PATH_MAX];
static volatile pid_t outputWriter = -1;

static const int interrupting[] = {SIGINT, SIGTERM, SIGHUP};

static sigset_t interruptingSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : interrupting)
        sigaddset(&signals, signal);
    return signals;
}

static void writeError(const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        ssize_t written = write(STDERR_FILENO, text, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        left -= static_cast<size_t>(written);
    }
}

static void discard(const char* reason)
{
    unlink(temporaryPath);
    writeError("mosaic-record: ");
    writeError(reason);
    writeError(finalPath);
    writeError(" left untouched\n");
}

static void discardOnExit()
{
    sigset_t signals = interruptingSignals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    if (temporaryPath[0] != '\0')
        discard("");
}

static void discardOnSignal(int)
{
    if (outputWriter > 0)
        kill(outputWriter, SIGTERM);
    discard("interrupted; ");
    _exit(1);
}

std::string beginOutput(const std::string& path)
{
    std::filesystem::path final(path);
    std::string name = (final.parent_path() / ("." + final.filename().string() + ".XXXXXX")).string();
    if (name.size() >= sizeof temporaryPath)
        fail("the output's name is too long: %s", path.c_str());

    sigset_t signals = interruptingSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &signals, &previous);
    std::snprintf(finalPath, sizeof finalPath, "%s", path.c_str());
    std::snprintf(temporaryPath, sizeof temporaryPath, "%s", name.c_str());
    int fd = mkstemp(temporaryPath);
    if (fd < 0) {
        int error = errno;
        temporaryPath[0] = '\0';
        fail("could not write beside %s: %s", path.c_str(), std::strerror(error));
    }
    // mkstemp makes the file private; the recording gets the mode that any
    // new file of the user's gets.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    close(fd);
    struct sigaction action {};
    action.sa_handler = discardOnSignal;
    action.sa_mask = signals;
    for (int signal : interrupting)
        sigaction(signal, &action, nullptr);
    std::atexit(discardOnExit);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return temporaryPath;
}

void setOutputWriter(pid_t writer)
{
    outputWriter = writer;
}

void commitOutput()
{
    sigset_t signals = interruptingSignals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    outputWriter = -1;
    // On the disk before it takes the name, or a crash could leave an empty
    // file where the earlier one was.
    int fd = open(temporaryPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0)
        fail("could not write %s: %s", finalPath, std::strerror(errno));
    close(fd);
    if (rename(temporaryPath, finalPath) != 0)
        fail("could not rename %s to %s: %s", temporaryPath, finalPath, std::strerror(errno));
    temporaryPath[0] = '\0';
}
