#include "progress.h"

#include <cstdio>

void showProgress(Progress& progress, int done)
{
    using namespace std::chrono;
    auto now = steady_clock::now();
    bool last = done == progress.total;
    if (!last && now - progress.shown < milliseconds(500))
        return;
    progress.shown = now;
    double elapsed = duration<double>(now - progress.start).count();
    double rate = elapsed > 0 ? done / elapsed : 0;
    long left = rate > 0 ? static_cast<long>((progress.total - done) / rate + 0.5) : 0;
    std::fprintf(stderr, "\rframe %d/%d, %.1f frames/s, %ld:%02ld left%s", done, progress.total,
                 rate, left / 60, left % 60, last ? "\n" : "  ");
    std::fflush(stderr);
}
