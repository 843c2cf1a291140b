// The piece, in A minor at 136 BPM. Every pattern is written one token per
// sixteenth note: a note name or value starts a note, "-" holds it, "." is a
// rest, "|" only marks bar lines for the reader.
#include "chiptune.h"

#include <cmath>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int stepsPerBar = 16;

struct LeadStyle {
    float duty;
    float pwmDepth;
    float vibrato;
};

struct Section {
    std::vector<const char *> chords;  // one per bar
    const char *lead;                  // the whole section, or nullptr
    LeadStyle style;
    const char *arp;    // one bar, repeated: "x" starts a chord arpeggio
    const char *bass;   // one bar, repeated: semitones above the chord root
    const char *drums;  // one bar, repeated: k kick, s snare; or nullptr
    const char *hats;   // one bar, repeated: h closed, o open, c crash
    const char *fill;   // drums of the section's last bar, or nullptr
    double release;     // fade after each melodic note
};

const char *const hook =
    "| E5 - . E5 . E5 D5 - C5 - D5 - E5 - - . "
    "| A5 - - . G5 - - . F5 - E5 - D5 - - . "
    "| E5 - - . G5 - - . C6 - - . B5 - G5 - "
    "| D5 - - - - - - . B4 - C5 - D5 - - . "
    "| E5 - . E5 . E5 D5 - C5 - D5 - E5 - A5 - "
    "| A5 - - . C6 - - . A5 - G5 - F5 - - . "
    "| G5 - - . E5 - - . C5 - D5 - E5 - - . "
    "| D5 - - - - - C5 - B4 - - . G4 - B4 - ";

const char *const bridgeTune =
    "| C5 - - - - - A4 - C5 - - - F5 - - . "
    "| D5 - - - - - B4 - D5 - - - G5 - - . "
    "| E5 - - - - - - - G5 - - - B5 - - . "
    "| A5 - - - - - - - - - - . C6 - B5 - "
    "| A5 - - - - - F5 - A5 - - - C6 - - . "
    "| B5 - - - - - G5 - B5 - - - D6 - - . "
    "| B5 - - - - - - - G#5 - - - - - - . "
    "| E5 - G#5 - B5 - E6 - D6 - B5 - G#5 - B5 - ";

const char *const outroTune =
    "| C6 - - . A5 - - . F5 - - . A5 - - . "
    "| B5 - - . G5 - - . D5 - - . G5 - - . "
    "| G#5 - - - - - - . B5 - - . D6 - - . ";

const std::vector<const char *> mainChords = {"Am", "F", "C", "G", "Am", "F", "C", "G"};

const char *const whole = "x - - - - - - - - - - - - - - -";
const char *const bassWhole = "0 - - - - - - - - - - - - - - -";
const char *const arpBounce = "x - . x - . x - x - . x - . x -";
const char *const arpBusy = "x . x x . x x . x . x x . x x .";
const char *const bassOctaves = "0 . 12 . 0 . 12 . 0 . 12 . 7 . 12 .";
const char *const bassDriving = "0 . 12 0 . 12 0 . 0 . 12 0 . 12 7 .";
const char *const beat = "k . . . s . . . k . k . s . . .";
const char *const beatBusy = "k . . . s . . k k . k . s . . .";
const char *const hats8 = "h . h . h . h . h . h . h . o .";
const char *const hats16 = "h . h h h . h h h . h h h . o .";
const char *const roll = "k . . . s . . . s . s . s s s s";

const std::vector<Section> sections = {
    // Intro: the progression alone, then bass and beat come in.
    {{"Am", "F", "C", "G"}, nullptr, {}, whole, bassWhole, nullptr, nullptr, nullptr, 0.03},
    {{"Am", "F", "C", "G"}, nullptr, {}, arpBounce, bassOctaves,
     "k . . . . . . . k . . . . . . .", "h . h . h . h . h . h . h . h .", roll, 0.03},
    // Main theme, then the same tune thinner and busier.
    {mainChords, hook, {0.25f, 0.0f, 0.15f}, arpBounce, bassOctaves, beat, hats8, roll, 0.03},
    {mainChords, hook, {0.125f, 0.0f, 0.25f}, arpBusy, bassOctaves, beatBusy, hats16, roll, 0.03},
    // Bridge: half-time, long notes, ending on E major to lead back home.
    {{"F", "G", "Em", "Am", "F", "G", "E", "E"}, bridgeTune, {0.5f, 0.0f, 0.3f}, whole,
     "0 - - - - - 0 - - - 7 - - - 12 -", "k . . . . . . . s . . . . . . .",
     "h . . . h . . . h . . . h . . .", roll, 0.05},
    // Reprise with a sweeping pulse width.
    {mainChords, hook, {0.25f, 0.15f, 0.2f}, arpBusy, bassDriving, beatBusy, hats16, roll, 0.03},
    // Ending: a cadence and a final A minor chord that rings out.
    {{"F", "G", "E"}, outroTune, {0.25f, 0.1f, 0.3f}, arpBounce, bassOctaves, beat, hats8, roll,
     0.03},
    {{"Am"}, "| A5 - - - - - - - - - - - - - - -", {0.25f, 0.1f, 0.3f}, whole, bassWhole,
     "k . . . . . . . . . . . . . . .", "c . . . . . . . . . . . . . . .", nullptr, 2.2},
};

struct Hit {
    int step;
    int steps;
    std::string token;
};

// Throws when a pattern is not exactly `steps` long, since the score would
// silently drift out of time.
std::vector<Hit> parsePattern(const char *pattern, int steps) {
    std::vector<Hit> hits;
    std::istringstream in(pattern);
    std::string token;
    int step = 0;
    bool holding = false;
    while (in >> token) {
        if (token == "|")
            continue;
        if (token == "-") {
            if (holding)
                hits.back().steps++;
        } else if (token == ".") {
            holding = false;
        } else {
            hits.push_back({step, 1, token});
            holding = true;
        }
        step++;
    }
    if (step != steps)
        throw std::logic_error("pattern of " + std::to_string(step) + " steps instead of " +
                               std::to_string(steps) + " in score: " + pattern);
    return hits;
}

int pitchClass(const std::string &name) {
    static const int natural[] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    if (name.empty() || name[0] < 'A' || name[0] > 'G')
        throw std::logic_error("bad note name in score: " + name);
    int pc = natural[name[0] - 'A'];
    if (name.size() > 1 && name[1] == '#')
        pc++;
    if (name.size() > 1 && name[1] == 'b')
        pc--;
    return (pc + 12) % 12;
}

// MIDI note number of a name like "C#5".
int midiNote(const std::string &name) {
    size_t digit = name.find_first_of("0123456789");
    if (digit == std::string::npos)
        throw std::logic_error("note without octave in score: " + name);
    return pitchClass(name) + 12 * (std::stoi(name.substr(digit)) + 1);
}

double frequency(int midi) { return 440.0 * std::pow(2.0, (midi - 69) / 12.0); }

// The chord root placed in [low, low + 11], so each voice stays in its register.
int rootIn(const std::string &chord, int low) {
    return low + (pitchClass(chord) - low % 12 + 12) % 12;
}

std::vector<double> chordTones(const std::string &chord) {
    int root = rootIn(chord, 57);  // A3 .. G#4
    int third = chord.back() == 'm' ? 3 : 4;
    return {frequency(root), frequency(root + third), frequency(root + 7), frequency(root + 12)};
}

Note melodic(Voice voice, double start, int steps, double release, std::vector<double> freqs,
             float gain) {
    return {voice, start, steps * stepSeconds, release, std::move(freqs), gain, 0.25f, 0.0f, 0.0f};
}

Note drum(Voice voice, double start, float gain) {
    return {voice, start, 0.0, 0.0, {0.0}, gain, 0.0f, 0.0f, 0.0f};
}

void addDrums(std::vector<Note> &notes, const char *pattern, double barStart) {
    for (const Hit &hit : parsePattern(pattern, stepsPerBar)) {
        double start = barStart + hit.step * stepSeconds;
        char kind = hit.token[0];
        if (kind == 'k')
            notes.push_back(drum(Voice::kick, start, 0.55f));
        else if (kind == 's')
            notes.push_back(drum(Voice::snare, start, 0.32f));
        else if (kind == 'h')
            notes.push_back(drum(Voice::hihat, start, 0.10f));
        else if (kind == 'o')
            notes.push_back(drum(Voice::openhat, start, 0.09f));
        else if (kind == 'c')
            notes.push_back(drum(Voice::crash, start, 0.16f));
        else
            throw std::logic_error("bad drum in score: " + hit.token);
    }
}

void addBar(std::vector<Note> &notes, const Section &section, int bar, double barStart) {
    const std::string chord = section.chords[bar];
    for (const Hit &hit : parsePattern(section.arp, stepsPerBar))
        notes.push_back(melodic(Voice::arp, barStart + hit.step * stepSeconds, hit.steps,
                                section.release, chordTones(chord), 0.13f));
    int bassRoot = rootIn(chord, 40);  // E2 .. D#3
    for (const Hit &hit : parsePattern(section.bass, stepsPerBar))
        notes.push_back(melodic(Voice::bass, barStart + hit.step * stepSeconds, hit.steps,
                                section.release, {frequency(bassRoot + std::stoi(hit.token))},
                                0.42f));
    bool lastBar = bar + 1 == int(section.chords.size());
    const char *drums = lastBar && section.fill ? section.fill : section.drums;
    if (drums)
        addDrums(notes, drums, barStart);
    if (section.hats)
        addDrums(notes, section.hats, barStart);
}

void addLead(std::vector<Note> &notes, const Section &section, double start) {
    int steps = stepsPerBar * int(section.chords.size());
    for (const Hit &hit : parsePattern(section.lead, steps)) {
        Note note = melodic(Voice::lead, start + hit.step * stepSeconds, hit.steps,
                            section.release, {frequency(midiNote(hit.token))}, 0.26f);
        note.duty = section.style.duty;
        note.pwmDepth = section.style.pwmDepth;
        note.vibrato = section.style.vibrato;
        notes.push_back(note);
    }
}

}  // namespace

std::vector<Note> scoreNotes() {
    std::vector<Note> notes;
    double start = 0.0;
    for (const Section &section : sections) {
        for (size_t bar = 0; bar < section.chords.size(); bar++)
            addBar(notes, section, int(bar), start + bar * stepsPerBar * stepSeconds);
        if (section.lead)
            addLead(notes, section, start);
        start += section.chords.size() * stepsPerBar * stepSeconds;
    }
    return notes;
}
