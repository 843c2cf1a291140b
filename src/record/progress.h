// The line on standard error that tells how far a recording has come.
#pragma once

#include <chrono>

struct Progress {
    int total = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown{};
};

// Rewrites the line after `done` frames: at most a few times a second, and
// always for the last frame, which ends the line.
void showProgress(Progress& progress, int done);
