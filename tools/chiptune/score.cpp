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
    const char *name;
    std::vector<const char *> chords;  // one per bar
    const char *lead;                  // the whole section, or nullptr
    LeadStyle style;
    const char *counter;  // a second tune under the lead, the whole section, or nullptr
    const char *arp;      // one bar, repeated: "x" starts a chord arpeggio
    const char *bass;     // one bar, repeated: semitones above the chord root
    const char *drums;    // one bar, repeated: k kick, s snare; or nullptr
    const char *hats;     // one bar, repeated: h closed, o open, c crash
    const char *fill;     // drums of the section's last bar, or nullptr
    int quietBars = 0;    // bars at the start without drums and hats, played softer
    int transpose = 0;    // semitones, every voice
    int leadOctaves = 0;  // the lead's extra octaves
    float level = 1.0f;   // the section's loudness
    double release = 0.03;  // fade after each melodic note
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

// The hook's answer: the same chords, higher and more syncopated.
const char *const answer =
    "| A5 - C6 - . A5 E5 - A5 - C6 - E6 - - . "
    "| D6 - C6 - A5 - F5 - - - A5 - C6 - - . "
    "| G5 - - . E5 - G5 - C6 - - . B5 - C6 - "
    "| D6 - - - - - B5 - G5 - - - - - - . "
    "| A5 - C6 - . A5 E5 - A5 - C6 - E6 - G6 - "
    "| F6 - E6 - D6 - C6 - A5 - - . C6 - D6 - "
    "| E6 - - . D6 - C6 - G5 - - . C6 - - . "
    "| B5 - - - - - - - D6 - - - B5 - G5 - ";

// Long chord tones under the reprise's high hook.
const char *const counterTune =
    "| A4 - - - - - - - C5 - - - - - - - "
    "| A4 - - - - - - - F4 - - - - - - - "
    "| G4 - - - - - - - E4 - - - - - - - "
    "| D4 - - - - - - - G4 - - - B4 - - - "
    "| C5 - - - - - - - E5 - - - - - - - "
    "| C5 - - - - - - - A4 - - - - - - - "
    "| E5 - - - - - - - G5 - - - - - - - "
    "| D5 - - - - - - - B4 - - - D5 - - - ";

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

// Every section ends on a fill of its own.
const std::vector<Section> sections = {
    // Intro: the progression alone, then bass and beat come in.
    {.name = "intro", .chords = {"Am", "F", "C", "G"}, .lead = nullptr, .style = {},
     .counter = nullptr, .arp = whole, .bass = bassWhole, .drums = nullptr, .hats = nullptr,
     .fill = nullptr},
    {.name = "groove", .chords = {"Am", "F", "C", "G"}, .lead = nullptr, .style = {},
     .counter = nullptr, .arp = arpBounce, .bass = bassOctaves,
     .drums = "k . . . . . . . k . . . . . . .", .hats = "h . h . h . h . h . h . h . h .",
     .fill = "k . . . s . . . k . s . s . s s", .level = 0.9f},
    // The theme, then its answer, thinner and busier.
    {.name = "theme", .chords = mainChords, .lead = hook, .style = {0.25f, 0.0f, 0.15f},
     .counter = nullptr, .arp = arpBounce, .bass = bassOctaves, .drums = beat, .hats = hats8,
     .fill = "k . . . s . . k . k s . s s s s", .level = 0.9f},
    {.name = "answer", .chords = mainChords, .lead = answer, .style = {0.125f, 0.0f, 0.25f},
     .counter = nullptr, .arp = arpBusy, .bass = bassOctaves, .drums = beatBusy, .hats = hats16,
     .fill = "k . s . . s k . s . s s . s s s", .level = 0.9f},
    // Bridge: half-time and bare for four bars, then the beat returns and a
    // snare roll builds into the reprise.
    {.name = "bridge", .chords = {"F", "G", "Em", "Am", "F", "G", "E", "E"}, .lead = bridgeTune,
     .style = {0.5f, 0.0f, 0.3f}, .counter = nullptr, .arp = whole,
     .bass = "0 - - - - - 0 - - - 7 - - - 12 -", .drums = "k . . . . . . . k . . . . . . .",
     .hats = "h . h . h . h . h . h . h . h .", .fill = "s . s . s . s . s s s s s s s s",
     .quietBars = 4, .level = 0.62f, .release = 0.05},
    // Reprise: a whole tone up, the hook an octave higher over a counter-tune.
    {.name = "reprise", .chords = mainChords, .lead = hook, .style = {0.25f, 0.15f, 0.2f},
     .counter = counterTune, .arp = arpBusy, .bass = bassDriving, .drums = beatBusy,
     .hats = hats16, .fill = "k . k . s . k k s . s . s s s s", .transpose = 2,
     .leadOctaves = 1},
    // Ending in the new key: a cadence and a final chord that rings out.
    {.name = "cadence", .chords = {"F", "G", "E"}, .lead = outroTune, .style = {0.25f, 0.1f, 0.3f},
     .counter = nullptr, .arp = arpBounce, .bass = bassOctaves, .drums = beat, .hats = hats8,
     .fill = "k . . . s . . . k . s . s s s s", .transpose = 2, .level = 0.95f},
    {.name = "final", .chords = {"Am"}, .lead = "| A5 - - - - - - - - - - - - - - -",
     .style = {0.25f, 0.1f, 0.3f}, .counter = nullptr, .arp = whole, .bass = bassWhole,
     .drums = "k . . . . . . . . . . . . . . .", .hats = "c . . . . . . . . . . . . . . .",
     .fill = nullptr, .transpose = 2, .level = 0.95f, .release = 2.2},
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

std::vector<double> chordTones(const std::string &chord, int transpose) {
    int root = rootIn(chord, 57) + transpose;  // A3 .. G#4, then the key's shift
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

// A fill swells from `from` to full level over its bar.
void addDrums(std::vector<Note> &notes, const char *pattern, double barStart, float level,
              float from = 1.0f) {
    for (const Hit &hit : parsePattern(pattern, stepsPerBar)) {
        double start = barStart + hit.step * stepSeconds;
        float gain = level * (from + (1.0f - from) * float(hit.step) / (stepsPerBar - 1));
        char kind = hit.token[0];
        if (kind == 'k')
            notes.push_back(drum(Voice::kick, start, 0.55f * gain));
        else if (kind == 's')
            notes.push_back(drum(Voice::snare, start, 0.32f * gain));
        else if (kind == 'h')
            notes.push_back(drum(Voice::hihat, start, 0.10f * gain));
        else if (kind == 'o')
            notes.push_back(drum(Voice::openhat, start, 0.09f * gain));
        else if (kind == 'c')
            notes.push_back(drum(Voice::crash, start, 0.16f * gain));
        else
            throw std::logic_error("bad drum in score: " + hit.token);
    }
}

float barLevel(const Section &section, int bar) {
    const float quietLevel = 0.7f;
    return section.level * (bar < section.quietBars ? quietLevel : 1.0f);
}

void addBar(std::vector<Note> &notes, const Section &section, int bar, double barStart) {
    const std::string chord = section.chords[bar];
    const float level = barLevel(section, bar);
    std::vector<double> arpTones = chordTones(chord, section.transpose);
    for (const Hit &hit : parsePattern(section.arp, stepsPerBar))
        notes.push_back(melodic(Voice::arp, barStart + hit.step * stepSeconds, hit.steps,
                                section.release, arpTones, 0.13f * level));
    int bassRoot = rootIn(chord, 40) + section.transpose;  // E2 .. D#3, then the key's shift
    for (const Hit &hit : parsePattern(section.bass, stepsPerBar))
        notes.push_back(melodic(Voice::bass, barStart + hit.step * stepSeconds, hit.steps,
                                section.release, {frequency(bassRoot + std::stoi(hit.token))},
                                0.42f * level));
    if (bar < section.quietBars)
        return;
    bool lastBar = bar + 1 == int(section.chords.size());
    if (lastBar && section.fill)
        addDrums(notes, section.fill, barStart, section.level, 0.55f);
    else if (section.drums)
        addDrums(notes, section.drums, barStart, section.level);
    if (section.hats)
        addDrums(notes, section.hats, barStart, section.level);
}

void addTune(std::vector<Note> &notes, Voice voice, const char *tune, const Section &section,
             int shift, float gain, double start) {
    int steps = stepsPerBar * int(section.chords.size());
    for (const Hit &hit : parsePattern(tune, steps)) {
        Note note = melodic(voice, start + hit.step * stepSeconds, hit.steps, section.release,
                            {frequency(midiNote(hit.token) + shift)},
                            gain * barLevel(section, hit.step / stepsPerBar));
        note.duty = section.style.duty;
        note.pwmDepth = section.style.pwmDepth;
        note.vibrato = section.style.vibrato;
        notes.push_back(note);
    }
}

double sectionSeconds(const Section &section) {
    return section.chords.size() * stepsPerBar * stepSeconds;
}

}  // namespace

std::vector<Note> scoreNotes() {
    std::vector<Note> notes;
    double start = 0.0;
    for (const Section &section : sections) {
        for (size_t bar = 0; bar < section.chords.size(); bar++)
            addBar(notes, section, int(bar), start + bar * stepsPerBar * stepSeconds);
        if (section.lead)
            addTune(notes, Voice::lead, section.lead, section,
                    section.transpose + 12 * section.leadOctaves, 0.26f, start);
        if (section.counter)
            addTune(notes, Voice::counter, section.counter, section, section.transpose, 0.2f,
                    start);
        start += sectionSeconds(section);
    }
    return notes;
}

std::vector<SectionMark> scoreSections() {
    std::vector<SectionMark> marks;
    int bar = 0;
    double start = 0.0;
    for (const Section &section : sections) {
        marks.push_back({section.name, bar, start});
        bar += int(section.chords.size());
        start += sectionSeconds(section);
    }
    marks.push_back({"end", bar, start});
    return marks;
}
