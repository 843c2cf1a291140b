// chiptune [--seconds S] OUTPUT.ogg: synthesizes the demo's music track.
// chiptune --sections: prints where each section of the score starts, one
// "name bar seconds" line each, the last one named "end"; the shaders' timeline
// is checked against it.
#include "chiptune.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

constexpr double cutFadeSeconds = 0.05;

int usage() {
    std::fprintf(stderr, "usage: chiptune [--seconds S] OUTPUT.ogg\n       chiptune --sections\n");
    return 1;
}

bool parseSeconds(const char *text, double &seconds) {
    char *end = nullptr;
    seconds = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(seconds) && seconds > 0.0;
}

}  // namespace

int printSections() {
    for (const SectionMark &mark : scoreSections())
        std::printf("%s %d %.3f\n", mark.name.c_str(), mark.bar, mark.seconds);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--sections") == 0)
        return printSections();
    const char *output = nullptr;
    double seconds = 0.0;
    bool cut = false;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--seconds") == 0) {
            if (i + 1 == argc || !parseSeconds(argv[i + 1], seconds)) {
                std::fprintf(stderr, "chiptune: --seconds needs a positive number of seconds\n");
                return 1;
            }
            cut = true;
            i++;
        } else if (argv[i][0] == '-' || output) {
            return usage();
        } else {
            output = argv[i];
        }
    }
    if (!output)
        return usage();

    try {
        std::vector<Note> notes = scoreNotes();
        double whole = trackSeconds(notes);
        cut = cut && seconds < whole;
        std::vector<float> track = renderTrack(notes, cut ? seconds : whole);
        if (cut)
            fadeOutEnd(track, cutFadeSeconds);
        std::string error;
        if (!writeOggVorbis(output, track, error)) {
            std::fprintf(stderr, "chiptune: %s\n", error.c_str());
            return 1;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "chiptune: %s\n", e.what());
        return 1;
    }
    return 0;
}
