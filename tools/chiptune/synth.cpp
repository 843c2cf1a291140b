// Chip voices (band-limited pulse, triangle, LFSR noise) and the stereo mixer.
#include "chiptune.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

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
    case Voice::lead: return {0.004, 0.30, 0.75};
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

bool isDrum(Voice voice) { return voice != Voice::lead && voice != Voice::arp && voice != Voice::bass; }

// Stereo position, 0 left .. 1 right.
float panOf(Voice voice) {
    switch (voice) {
    case Voice::lead: return 0.42f;
    case Voice::arp: return 0.64f;
    case Voice::snare: return 0.46f;
    case Voice::hihat:
    case Voice::openhat: return 0.60f;
    default: return 0.5f;
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

// The 15-bit shift register of classic sound chips, from a fixed seed.
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

void renderMelodic(const Note &note, std::vector<float> &out) {
    Shape shape = shapeOf(note.voice);
    double phase = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = double(i) / sampleRate;
        double dt = pitchAt(note, t) / sampleRate;
        double wave = note.voice == Voice::bass ? triangleWave(phase)
                                                 : pulseWave(phase, dt, dutyAt(note, t));
        out[i] = float(note.gain * envelope(shape, t, note.gate, note.release) * wave);
        phase = std::fmod(phase + dt, 1.0);
    }
}

void renderDrum(const Note &note, std::vector<float> &out) {
    DrumShape drum = drumOf(note.voice);
    Noise noise;
    double phase = 0.0;
    for (size_t i = 0; i < out.size(); i++) {
        double t = double(i) / sampleRate;
        double pitch = drum.toneTo + (drum.toneFrom - drum.toneTo) * std::exp(-t / drum.toneSweep);
        double hiss = drum.noiseLevel * noise.next(drum.noiseClock) * std::exp(-t / drum.noiseDecay);
        double body = drum.toneLevel * triangleWave(phase) * std::exp(-t / drum.toneDecay);
        // The linear taper brings every hit to exactly zero at its end.
        out[i] = float(note.gain * (hiss + body) * (1.0 - t / drum.seconds));
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
    for (const Note &note : notes) {
        size_t at = size_t(std::lround(note.start * sampleRate));
        if (at >= frames)
            continue;
        sound.assign(std::min(size_t(noteSeconds(note) * sampleRate), frames - at), 0.0f);
        if (isDrum(note.voice))
            renderDrum(note, sound);
        else
            renderMelodic(note, sound);
        addPanned(stereo, sound, at, panOf(note.voice), masterGain);
        if (note.voice == Voice::lead)
            addPanned(stereo, sound, at + size_t(echoDelay * sampleRate), 1.0f - panOf(note.voice),
                      masterGain * echoGain);
    }
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
