// The demo's music: a score written as data, a few chip voices, a mixer and
// an Ogg Vorbis writer.
#pragma once

#include <string>
#include <vector>

constexpr int sampleRate = 44100;
constexpr double beatsPerMinute = 136;
constexpr double stepSeconds = 60.0 / beatsPerMinute / 4;  // one sixteenth note

enum class Voice { lead, counter, arp, bass, kick, snare, hihat, openhat, crash };

// One sounding event, already placed in time. For the arp voice, `freqs`
// holds the chord tones it cycles through; every other voice plays freqs[0].
struct Note {
    Voice voice;
    double start;    // seconds
    double gate;     // seconds the note is held; drums have their own length
    double release;  // seconds of fade after the gate closes
    std::vector<double> freqs;
    float gain;
    float duty;      // pulse width of lead and arp, 0..1
    float pwmDepth;  // slow duty sweep of the lead
    float vibrato;   // lead vibrato depth in semitones
};

std::vector<Note> scoreNotes();

// Where a section of the score starts; the last mark, "end", is where the
// score stops (the final chord's ring and the echo run on past it).
struct SectionMark {
    std::string name;
    int bar;
    double seconds;
};

std::vector<SectionMark> scoreSections();

// Length of the whole piece, echoes and a short silence included.
double trackSeconds(const std::vector<Note> &notes);

// Interleaved stereo samples, `seconds` long.
std::vector<float> renderTrack(const std::vector<Note> &notes, double seconds);

// Fades the last `seconds` of a cut-short track to silence.
void fadeOutEnd(std::vector<float> &stereo, double seconds);

// Writes interleaved stereo samples to `path`; returns false and sets
// `error` when the file cannot be written.
bool writeOggVorbis(const std::string &path, const std::vector<float> &stereo, std::string &error);
