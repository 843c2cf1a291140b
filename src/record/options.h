// The recorder's command line.
#pragma once

#include <string>

struct Options {
    int width = 1920;
    int height = 1080;
    int fps = 60;
    bool webm = false;
    // The pointer stands at `mouseX` unless it sweeps the width over the track.
    int mouseX = -1;  // -1: the middle of the picture
    bool sweep = false;
    // A still is written instead of a video when `stillPath` is set.
    double stillSeconds = 0;
    std::string stillPath;
    std::string output;
    const char* dataFolder = nullptr;  // --data, else found by findDataFolder
};

extern const char* const usage;

// The options of `argv`; a bad one ends the process with a message and
// status 1, and --help prints the usage and ends it with status 0.
Options parseOptions(int argc, char** argv);
