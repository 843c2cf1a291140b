#include "file-watch.h"

#include <sys/inotify.h>
#include <unistd.h>

int watchFolder(const char* folder, uint32_t events)
{
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0)
        return -1;
    if (inotify_add_watch(watch, folder, events) < 0) {
        close(watch);
        return -1;
    }
    return watch;
}

std::set<std::string> savedFiles(int watch, bool& everything)
{
    std::set<std::string> names;
    everything = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t length = read(watch, buffer, sizeof buffer);
        if (length <= 0)
            return names;
        for (ssize_t at = 0; at < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->mask & IN_Q_OVERFLOW)
                everything = true;
            else if (event->len > 0)
                names.insert(event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}
