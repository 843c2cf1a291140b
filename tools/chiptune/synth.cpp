// Chip voices (band-limited pulse, triangle, LFSR noise) and the stereo mixer.
#include "chiptune.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

namespace {

constexpr double pi = 3.14159265358979323846;
constexpr double echoDelay = 3 * stepSeconds;
constexpr float echoGain = 0.3f;
constexpr float masterGain = 0.72f;  // keeps the loudest bars just under the limiter's knee

struct Shape {
    double attack;   // a few milliseconds keep note starts free of clicks
    double decay;    // time constant of the fall to the sustain level
    double sustain;
};

struct DrumShape {
    double seconds;
    double noiseClock;  // Hz at which the noise register shifts
    double noiseDecay;
    double noiseLevel;
    double toneFrom, toneTo, toneSweep;  // pitch sweep of the triangle body
    double toneDecay;
    double toneLevel;
};

Shape shapeOf(Voice voice) {
    switch (voice) {
    case Voice::lead:
    case Voice::counter: return {0.004, 0.30, 0.75};
    case Voice::arp: return {0.002, 0.10, 0.40};
    default: return {0.004, 0.25, 0.80};
    }
}

DrumShape drumOf(Voice voice) {
    switch (voice) {
    case Voice::kick: return {0.25, 0, 1, 0, 150, 48, 0.03, 0.15, 1.0};
    case Voice::snare: return {0.22, 11025, 0.06, 1.0, 200, 140, 0.05, 0.04, 0.6};
    case Voice::hihat: return {0.06, 44100, 0.012, 1.0, 0, 0, 1, 1, 0.0};
    case Voice::openhat: return {0.30, 44100, 0.08, 1.0, 0, 0, 1, 1, 0.0};
    default: return {2.50, 30000, 0.60, 1.0, 0, 0, 1, 1, 0.0};
    }
}

bool isDrum(Voice voice) { return voice >= Voice::kick; }

// Stereo position, 0 left .. 1 right.
float panOf(Voice voice) {
    switch (voice) {
    case Voice::lead: return 0.36f;
    case Voice::counter: return 0.72f;
    case Voice::snare: return 0.44f;
    case Voice::hihat:
    case Voice::openhat: return 0.70f;
    default: return 0.5f;
    }
}

// Voices played twice, one copy to each side a quarter cycle apart: the
// copies are nearly uncorrelated, so the voice fills the stereo field instead
// of sitting in the middle, and their sum keeps its level in mono.
float spreadOf(Voice voice) {
    switch (voice) {
    case Voice::arp: return 0.4f;
    case Voice::bass: return 0.25f;
    default: return 0.0f;
    }
}

double noteSeconds(const Note &note) {
    return isDrum(note.voice) ? drumOf(note.voice).seconds : note.gate + note.release;
}

// Smooths each step of the pulse over one sample, which removes most of the
// aliasing a naive square wave folds back at 44.1 kHz.
double polyBlep(double t, double dt) {
    if (t < dt) {
        t /= dt;
        return t + t - t * t - 1.0;
    }
    if (t > 1.0 - dt) {
        t = (t - 1.0) / dt;
        return t * t + t + t + 1.0;
    }
    return 0.0;
}

// Mean-free, so narrow duties do not thump when the envelope moves.
double pulseWave(double phase, double dt, double duty) {
    double value = phase < duty ? 1.0 : -1.0;
    value += polyBlep(phase, dt);
    value -= polyBlep(std::fmod(phase + 1.0 - duty, 1.0), dt);
    return value - (2.0 * duty - 1.0);
}

double triangleWave(double phase) { return 4.0 * std::fabs(phase - 0.5) - 1.0; }

// The 15-bit shift register of classic sound chips. Each drum keeps one
// running register, as the chip does: restarting it from its seed on every
// hit would play the same biased stretch of the sequence each time.
struct Noise {
    uint16_t reg = 1;
    double phase = 0.0;
    double value = 1.0;

    double next(double clock) {
        phase += clock / sampleRate;
        while (phase >= 1.0) {
            phase -= 1.0;
            unsigned bit = (reg ^ (reg >> 1)) & 1u;
            reg = uint16_t((reg >> 1) | (bit << 14));
            value = (reg & 1u) ? 1.0 : -1.0;
        }
        return value;
    }
};

double envelope(const Shape &shape, double t, double gate, double release) {
    auto held = [&](double at) {
        if (at < shape.attack)
            return at / shape.attack;
        return shape.sustain + (1.0 - shape.sustain) * std::exp(-(at - shape.attack) / shape.decay);
    };
    if (t < gate)
        return held(t);
    double left = 1.0 - (t - gate) / release;
    return left > 0.0 ? held(gate) * left * left : 0.0;
}

// Pitch of a melodic voice `t` seconds into the note.
double pitchAt(const Note &note, double t) {
    if (note.voice == Voice::arp) {
        size_t tone = size_t(t / (stepSeconds / 3)) % note.freqs.size();
        return note.freqs[tone];
    }
    if (note.voice == Voice::lead) {
        // Vibrato fades in after the attack, as a player would add it.
        double depth = note.vibrato * std::clamp((t - 0.12) / 0.2, 0.0, 1.0);
        return note.freqs[0] * std::pow(2.0, depth * std::sin(2 * pi * 5.5 * t) / 12.0);
    }
    return note.freqs[0];
}

double dutyAt(const Note &note, double t) {
    double sweep = note.pwmDepth * std::sin(2 * pi * 0.4 * (note.start + t));
    return std::clamp(note.duty + sweep, 0.05, 0.95);
}

void renderMelodic(const Note &note, double phase, std::vector<float> &out) {
    Shape shape = shapeOf(note.voice);
    for (size_t i = 0; i < out.size(); i++) {
        double t = double(i) / sampleRate;
        double dt = pitchAt(note, t) / sampleRate;
        double wave = note.voice == Voice::bass ? triangleWave(phase)
                                                 : pulseWave(phase, dt, dutyAt(note, t));
        out[i] = float(note.gain * envelope(shape, t, note.gate, note.release) * wave);
        phase = std::fmod(phase + dt, 1.0);
    }
}

void renderDrum(const Note &note, Noise &noise, std::vector<float> &out) {
    const double attack = 0.001;
    DrumShape drum = drumOf(note.voice);
    double phase = 0.75;  // the triangle's zero crossing, so the body starts from silence
    for (size_t i = 0; i < out.size(); i++) {
        double t = double(i) / sampleRate;
        double pitch = drum.toneTo + (drum.toneFrom - drum.toneTo) * std::exp(-t / drum.toneSweep);
        double hiss = drum.noiseLevel * noise.next(drum.noiseClock) * std::exp(-t / drum.noiseDecay);
        double body = drum.toneLevel * triangleWave(phase) * std::exp(-t / drum.toneDecay);
        // A millisecond's rise keeps the noise from clicking in; the linear
        // taper brings every hit to exactly zero at its end.
        double shape = std::min(1.0, t / attack) * (1.0 - t / drum.seconds);
        out[i] = float(note.gain * (hiss + body) * shape);
        phase = std::fmod(phase + pitch / sampleRate, 1.0);
    }
}

void addPanned(std::vector<float> &stereo, const std::vector<float> &mono, size_t at, float pan,
               float gain) {
    float left = gain * float(std::cos(pan * pi / 2)), right = gain * float(std::sin(pan * pi / 2));
    for (size_t i = 0; i < mono.size() && at + i < stereo.size() / 2; i++) {
        stereo[2 * (at + i)] += left * mono[i];
        stereo[2 * (at + i) + 1] += right * mono[i];
    }
}

// Takes out any constant offset (below a few hertz) that the mix gathers.
void removeOffset(std::vector<float> &stereo) {
    const float pole = 0.9995f;
    for (int channel = 0; channel < 2; channel++) {
        float lastIn = 0.0f, lastOut = 0.0f;
        for (size_t i = channel; i < stereo.size(); i += 2) {
            float out = stereo[i] - lastIn + pole * lastOut;
            lastIn = stereo[i];
            lastOut = stereo[i] = out;
        }
    }
}

// Leaves normal levels alone and bends rare peaks smoothly under full scale.
float softLimit(float x) {
    const float knee = 0.8f, room = 0.18f;
    float magnitude = std::fabs(x);
    if (magnitude <= knee)
        return x;
    return std::copysign(knee + room * std::tanh((magnitude - knee) / room), x);
}

}  // namespace

double trackSeconds(const std::vector<Note> &notes) {
    double end = 0.0;
    for (const Note &note : notes)
        end = std::max(end, note.start + noteSeconds(note));
    return end + echoDelay + 0.3;
}

std::vector<float> renderTrack(const std::vector<Note> &notes, double seconds) {
    size_t frames = size_t(seconds * sampleRate);
    std::vector<float> stereo(2 * frames, 0.0f);
    std::vector<float> sound;
    std::map<Voice, Noise> noises;
    for (const Note &note : notes) {
        size_t at = size_t(std::lround(note.start * sampleRate));
        if (at >= frames)
            continue;
        sound.assign(std::min(size_t(noteSeconds(note) * sampleRate), frames - at), 0.0f);
        float pan = panOf(note.voice), spread = spreadOf(note.voice);
        if (isDrum(note.voice)) {
            renderDrum(note, noises[note.voice], sound);
            addPanned(stereo, sound, at, pan, masterGain);
        } else if (spread > 0.0f) {
            const float copyGain = masterGain * float(std::sqrt(0.5));
            renderMelodic(note, 0.0, sound);
            addPanned(stereo, sound, at, pan - spread, copyGain);
            renderMelodic(note, 0.25, sound);
            addPanned(stereo, sound, at, pan + spread, copyGain);
        } else {
            renderMelodic(note, 0.0, sound);
            addPanned(stereo, sound, at, pan, masterGain);
        }
        if (note.voice == Voice::lead)
            addPanned(stereo, sound, at + size_t(echoDelay * sampleRate), 1.0f - pan,
                      masterGain * echoGain);
    }
    removeOffset(stereo);
    for (float &sample : stereo)
        sample = softLimit(sample);
    return stereo;
}

void fadeOutEnd(std::vector<float> &stereo, double seconds) {
    size_t frames = stereo.size() / 2;
    size_t fade = std::min(frames, size_t(seconds * sampleRate));
    for (size_t i = 0; i < fade; i++) {
        float gain = float(i) / float(fade);
        size_t frame = frames - 1 - i;
        stereo[2 * frame] *= gain;
        stereo[2 * frame + 1] *= gain;
    }
}
