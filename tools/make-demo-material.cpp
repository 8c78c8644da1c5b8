// SPDX-License-Identifier: ISC
// make-demo-material OUTPUT_DIR
//
// Synthesises the demo's input material in code: "demo-loop.wav", six bars of drum and bass at
// 172 BPM (48 kHz, stereo, 24-bit PCM, peak -1 dBFS), and "demo-notes.mid", a chord and melody
// sequence on MIDI channel 1 over the same six bars. No recorded samples, no third-party audio.
//
// Every random choice comes from fixed seeds and the output is quantised by our own rounding, so
// every run writes the same bytes.

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;

// The tempo as the MIDI file stores it (microseconds per quarter note); the audio uses the same
// figure so that loop and notes stay aligned to the sample over the whole length.
constexpr int kMicrosPerQuarter = 348837; // 172 BPM
constexpr double kBeatSeconds = kMicrosPerQuarter * 1e-6;
constexpr double kStepSeconds = kBeatSeconds / 4.0; // one sixteenth note
constexpr int kBars = 6;
constexpr int kStepsPerBar = 16;
constexpr int kSteps = kBars * kStepsPerBar;
constexpr int kPpqn = 480;
constexpr int kPulsesPerStep = kPpqn / 4;

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2.0 * kPi;

// Peak level of the finished loop: -1 dBFS.
const double kPeakTarget = std::pow(10.0, -1.0 / 20.0);

long stepFrame(double step)
{
  return std::lround(step * kStepSeconds * kSampleRate);
}

const long kFrames = stepFrame(kSteps);

// xorshift64*: small, fast and the same on every platform (unlike the standard distributions).
class Noise {
public:
  explicit Noise(std::uint64_t seed) : mState(seed ? seed : 0x9E3779B97F4A7C15ull) {}

  // Uniform in [-1, 1).
  double next()
  {
    mState ^= mState >> 12;
    mState ^= mState << 25;
    mState ^= mState >> 27;
    const std::uint64_t r = mState * 0x2545F4914F6CDD1Dull;
    return static_cast<double>(r >> 11) * (2.0 / 9007199254740992.0) - 1.0;
  }

  // Uniform in [0, 1).
  double unit() { return 0.5 * (next() + 1.0); }

private:
  std::uint64_t mState;
};

// RBJ biquad, transposed direct form II.
class Biquad {
public:
  static Biquad highPass(double freq, double q) { return design(freq, q, Kind::HighPass); }
  static Biquad bandPass(double freq, double q) { return design(freq, q, Kind::BandPass); }
  static Biquad lowPass(double freq, double q) { return design(freq, q, Kind::LowPass); }

  double process(double x)
  {
    const double y = mB0 * x + mZ1;
    mZ1 = mB1 * x - mA1 * y + mZ2;
    mZ2 = mB2 * x - mA2 * y;
    return y;
  }

private:
  enum class Kind { LowPass, HighPass, BandPass };

  static Biquad design(double freq, double q, Kind kind)
  {
    const double w = kTwoPi * freq / kSampleRate;
    const double cw = std::cos(w);
    const double alpha = std::sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    Biquad f;
    switch (kind) {
      case Kind::LowPass:
        f.mB0 = (1.0 - cw) / 2.0 / a0;
        f.mB1 = (1.0 - cw) / a0;
        f.mB2 = f.mB0;
        break;
      case Kind::HighPass:
        f.mB0 = (1.0 + cw) / 2.0 / a0;
        f.mB1 = -(1.0 + cw) / a0;
        f.mB2 = f.mB0;
        break;
      case Kind::BandPass: // constant 0 dB peak gain
        f.mB0 = alpha / a0;
        f.mB1 = 0.0;
        f.mB2 = -alpha / a0;
        break;
    }
    f.mA1 = -2.0 * cw / a0;
    f.mA2 = (1.0 - alpha) / a0;
    return f;
  }

  double mB0 = 1.0, mB1 = 0.0, mB2 = 0.0, mA1 = 0.0, mA2 = 0.0;
  double mZ1 = 0.0, mZ2 = 0.0;
};

// Zero-delay-feedback state-variable low-pass; the cutoff may change every sample.
class SvfLowPass {
public:
  double process(double x, double cutoff, double q)
  {
    const double g = std::tan(kPi * cutoff / kSampleRate);
    const double k = 1.0 / q;
    const double a1 = 1.0 / (1.0 + g * (g + k));
    const double a2 = g * a1;
    const double a3 = g * a2;
    const double v3 = x - mIc2;
    const double v1 = a1 * mIc1 + a2 * v3;
    const double v2 = mIc2 + a2 * mIc1 + a3 * v3;
    mIc1 = 2.0 * v1 - mIc1;
    mIc2 = 2.0 * v2 - mIc2;
    return v2;
  }

private:
  double mIc1 = 0.0, mIc2 = 0.0;
};

// Sawtooth with a polynomial band-limited step: no audible aliasing down in the bass register.
class Saw {
public:
  explicit Saw(double phase = 0.0) : mPhase(phase) {}

  double next(double freq)
  {
    const double dt = freq / kSampleRate;
    double y = 2.0 * mPhase - 1.0;
    if (mPhase < dt) {
      const double t = mPhase / dt;
      y -= t + t - t * t - 1.0;
    } else if (mPhase > 1.0 - dt) {
      const double t = (mPhase - 1.0) / dt;
      y -= t * t + t + t + 1.0;
    }
    mPhase += dt;
    if (mPhase >= 1.0)
      mPhase -= 1.0;
    return y;
  }

private:
  double mPhase;
};

double midiHz(double note)
{
  return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

struct Stereo {
  std::vector<double> left;
  std::vector<double> right;

  explicit Stereo(long frames)
      : left(static_cast<std::size_t>(frames), 0.0), right(static_cast<std::size_t>(frames), 0.0)
  {
  }

  void add(long frame, double l, double r)
  {
    if (frame >= 0 && frame < static_cast<long>(left.size())) {
      left[static_cast<std::size_t>(frame)] += l;
      right[static_cast<std::size_t>(frame)] += r;
    }
  }
};

// --- The arrangement -----------------------------------------------------------------------------
// Six bars in E minor: Em9, Cmaj7, Am9, Bm7, Em9, Cmaj7. Positions and lengths in sixteenth steps
// from the start of the bar.

struct Note {
  int step;
  int length;
  int pitch;
};

// Upper voicing of each bar's chord: three notes from step 0 to step 14. Played by the pad in the
// loop and as the chords of the MIDI file.
constexpr int kChords[kBars][3] = {
  {52, 55, 62}, // Em9: E G D
  {52, 55, 59}, // Cmaj7 over the bass C: E G B
  {48, 55, 59}, // Am9 over the bass A: C G B
  {50, 54, 57}, // Bm7 over the bass B: D F# A
  {52, 55, 62}, {52, 55, 59},
};
constexpr int kChordLength = 14;

// Root of each bar for the bass, E1 .. C2.
constexpr int kBassRoots[kBars] = {28, 36, 33, 35, 28, 36};

// Bass rhythm of every bar: (step, length, interval above the root).
constexpr Note kBassRhythm[] = {{0, 6, 0}, {7, 2, 7}, {10, 5, 0}};

// Melody of the MIDI file, one line above the chords, never two notes at once.
const std::vector<Note> kMelody[kBars] = {
  {{0, 3, 71}, {4, 2, 67}, {6, 2, 69}, {8, 4, 71}, {12, 2, 74}},
  {{0, 4, 76}, {6, 2, 74}, {8, 4, 71}, {12, 3, 67}},
  {{0, 3, 72}, {4, 2, 71}, {6, 2, 69}, {8, 6, 67}},
  {{0, 2, 66}, {2, 2, 69}, {4, 4, 74}, {10, 4, 71}},
  {{0, 3, 71}, {4, 2, 67}, {6, 2, 69}, {8, 4, 71}, {12, 2, 78}},
  {{0, 4, 76}, {6, 2, 74}, {8, 2, 71}, {10, 2, 72}, {12, 4, 71}},
};

enum class Drum { Kick, Snare, Ghost, Hat, OpenHat, Crash };

struct Hit {
  double step; // from the start of the loop
  Drum drum;
  double velocity; // 0 .. 1
};

std::vector<Hit> drumPattern()
{
  // Two-step: kick on 1 and the "and" of 3, snare on 2 and 4; the second bar of each pair adds a
  // kick on the second eighth, the last bar ends in a snare fill.
  struct Bar {
    std::vector<int> kicks, snares, ghosts;
  };
  const Bar a{{0, 10}, {4, 12}, {7, 14}};
  const Bar b{{0, 2, 10}, {4, 12}, {9, 15}};
  const Bar fill{{0, 10}, {4, 12, 13, 15}, {7, 14}};
  const Bar* bars[kBars] = {&a, &b, &a, &b, &a, &fill};

  Noise humanise(0x51A7E5EEDull);
  std::vector<Hit> hits;
  for (int bar = 0; bar < kBars; ++bar) {
    const double base = bar * kStepsPerBar;
    for (int s : bars[bar]->kicks)
      hits.push_back({base + s, Drum::Kick, 1.0});
    for (int s : bars[bar]->snares)
      hits.push_back({base + s, Drum::Snare, s == 4 || s == 12 ? 1.0 : 0.7});
    for (int s : bars[bar]->ghosts)
      hits.push_back({base + s, Drum::Ghost, 0.28 + 0.08 * humanise.unit()});
    for (int s = 0; s < kStepsPerBar; ++s) {
      if (s == 14 && (bar % 2) == 1) {
        hits.push_back({base + s, Drum::OpenHat, 0.8});
      } else if (s % 2 == 0) {
        // Eighths, accented off the beat.
        hits.push_back({base + s, Drum::Hat, (s % 4 == 2 ? 0.9 : 0.55) + 0.1 * humanise.unit()});
      } else if (humanise.unit() < 0.4) {
        hits.push_back({base + s, Drum::Hat, 0.25 + 0.1 * humanise.unit()});
      }
    }
  }
  hits.push_back({0.0, Drum::Crash, 1.0});
  hits.push_back({4.0 * kStepsPerBar, Drum::Crash, 0.8});
  return hits;
}

// --- Instruments ---------------------------------------------------------------------------------

// Gain of the last 20 ms of a sound of the given length (frames): whatever is left of the decay
// fades out instead of stopping with a click.
double tailFade(long n, long length)
{
  return std::min(1.0, static_cast<double>(length - n) / (0.02 * kSampleRate));
}

void renderKick(Stereo& out, long start, double velocity, Noise& noise)
{
  // Sine with a falling pitch (150 Hz down to 48 Hz) and a short noise click for the beater.
  const long length = kSampleRate * 2 / 5;
  double phase = 0.0;
  const double drive = 1.8;
  const double norm = std::tanh(drive);
  for (long n = 0; n < length; ++n) {
    const double t = static_cast<double>(n) / kSampleRate;
    const double freq = 48.0 + 102.0 * std::exp(-t / 0.03);
    phase += kTwoPi * freq / kSampleRate;
    const double attack = std::min(1.0, t / 0.001);
    const double body = std::sin(phase) * attack * std::exp(-t / 0.12);
    const double click = 0.25 * noise.next() * std::exp(-t / 0.0025);
    const double y = velocity * tailFade(n, length) * std::tanh(drive * (body + click)) / norm;
    out.add(start + n, y, y);
  }
}

void renderSnare(Stereo& out, long start, double velocity, Noise& noise)
{
  // Two damped modes of the drum head plus a burst of noise; the noise is partly decorrelated
  // between the channels for a little width.
  const long length = kSampleRate * 2 / 5;
  Biquad hpL = Biquad::highPass(900.0, 0.7), hpR = Biquad::highPass(900.0, 0.7);
  Biquad bpL = Biquad::bandPass(4200.0, 0.8), bpR = Biquad::bandPass(4600.0, 0.8);
  double p1 = 0.0, p2 = 0.0;
  for (long n = 0; n < length; ++n) {
    const double t = static_cast<double>(n) / kSampleRate;
    const double bend = 1.0 + 0.25 * std::exp(-t / 0.012);
    p1 += kTwoPi * 185.0 * bend / kSampleRate;
    p2 += kTwoPi * 330.0 * bend / kSampleRate;
    const double fade = tailFade(n, length);
    const double body = fade * (0.7 * std::sin(p1) + 0.35 * std::sin(p2)) * std::exp(-t / 0.06);
    const double a = noise.next();
    const double b = noise.next();
    const double nEnv = fade * std::min(1.0, t / 0.0008) * std::exp(-t / 0.11);
    const double nl = a;
    const double nr = 0.75 * a + 0.66 * b;
    const double sl = hpL.process(nl) + 0.8 * bpL.process(nl);
    const double sr = hpR.process(nr) + 0.8 * bpR.process(nr);
    out.add(start + n, velocity * (0.8 * body + 0.75 * nEnv * sl), velocity * (0.8 * body + 0.75 * nEnv * sr));
  }
}

void renderHat(Stereo& out, long start, double velocity, double decay, double pan, Noise& noise)
{
  // Noise and a bank of inharmonic square waves (a classic metallic cluster) above 7 kHz.
  static constexpr double kMetal[6] = {410.6, 608.8, 739.2, 1045.4, 1080.0, 1600.0}; // Hz
  const long length = std::lround(decay * 6.0 * kSampleRate);
  Biquad hp1 = Biquad::highPass(7000.0, 0.7), hp2 = Biquad::highPass(7000.0, 0.7);
  double phases[6] = {};
  for (long n = 0; n < length; ++n) {
    const double t = static_cast<double>(n) / kSampleRate;
    double metal = 0.0;
    for (int i = 0; i < 6; ++i) {
      phases[i] += kMetal[i] / kSampleRate;
      if (phases[i] >= 1.0)
        phases[i] -= 1.0;
      metal += phases[i] < 0.5 ? 1.0 : -1.0;
    }
    const double x = 0.7 * noise.next() + 0.08 * metal;
    const double env = tailFade(n, length) * std::min(1.0, t / 0.0005) * std::exp(-t / decay);
    const double y = velocity * env * hp2.process(hp1.process(x));
    out.add(start + n, y * (1.0 - pan), y * (1.0 + pan));
  }
}

void renderCrash(Stereo& out, long start, double velocity, Noise& noise)
{
  const long length = kSampleRate * 3;
  Biquad hpL = Biquad::highPass(4500.0, 0.6), hpR = Biquad::highPass(4500.0, 0.6);
  for (long n = 0; n < length; ++n) {
    const double t = static_cast<double>(n) / kSampleRate;
    const double env = tailFade(n, length) * std::min(1.0, t / 0.002) * std::exp(-t / 0.8);
    const double l = hpL.process(noise.next());
    const double r = hpR.process(noise.next());
    out.add(start + n, velocity * env * l, velocity * env * r);
  }
}

// Gain of the bass and pad under the kick (a side-chain duck of up to -6 dB, 90 ms recovery).
std::vector<double> duckCurve(const std::vector<Hit>& hits)
{
  std::vector<double> gain(static_cast<std::size_t>(kFrames), 1.0);
  for (const Hit& h : hits) {
    if (h.drum != Drum::Kick)
      continue;
    const long start = stepFrame(h.step);
    for (long n = 0; n < kSampleRate / 2 && start + n < kFrames; ++n) {
      const double t = static_cast<double>(n) / kSampleRate;
      const double g = 1.0 - 0.5 * std::exp(-t / 0.09);
      double& slot = gain[static_cast<std::size_t>(start + n)];
      slot = std::min(slot, g);
    }
  }
  return gain;
}

// Monophonic reese bass: two detuned saws per channel (detuned differently left and right, so the
// beating differs and the bass sounds wide), a wandering low-pass, and a clean sine sub in the
// centre. Continuous oscillator phases and a 15 ms glide keep note changes click-free.
void renderBass(Stereo& out, const std::vector<double>& duck)
{
  struct Span {
    long start, end;
    double pitch;
  };
  std::vector<Span> notes;
  for (int bar = 0; bar < kBars; ++bar)
    for (const Note& n : kBassRhythm) {
      const int step = bar * kStepsPerBar + n.step;
      notes.push_back({stepFrame(step), stepFrame(step + n.length), static_cast<double>(kBassRoots[bar] + n.pitch)});
    }

  Saw sawL1(0.0), sawL2(0.37), sawR1(0.61), sawR2(0.19);
  SvfLowPass lpL, lpR;
  double subPhase = 0.0;
  double pitch = notes.front().pitch;
  double env = 0.0;
  const double glide = 1.0 - std::exp(-1.0 / (0.015 * kSampleRate));
  const double attack = 1.0 - std::exp(-1.0 / (0.003 * kSampleRate));
  const double release = 1.0 - std::exp(-1.0 / (0.02 * kSampleRate));
  const double detune = std::pow(2.0, 14.0 / 1200.0); // 14 cents
  const double detuneSmall = std::pow(2.0, 5.0 / 1200.0);
  std::size_t current = 0;

  for (long i = 0; i < kFrames; ++i) {
    while (current + 1 < notes.size() && i >= notes[current + 1].start)
      ++current;
    const Span& note = notes[current];
    const bool gate = i >= note.start && i < note.end;
    if (gate)
      pitch += (note.pitch - pitch) * glide;
    env += ((gate ? 1.0 : 0.0) - env) * (gate ? attack : release);

    const double t = static_cast<double>(i) / kSampleRate;
    const double f = midiHz(pitch);
    const double l = sawL1.next(f / detune) + sawL2.next(f * detuneSmall);
    const double r = sawR1.next(f * detune) + sawR2.next(f / detuneSmall);
    // Cutoff 250 .. 1350 Hz, one slow sweep per bar.
    const double sweep = 0.5 - 0.5 * std::cos(kTwoPi * t / (4.0 * kBeatSeconds));
    const double cutoff = 250.0 + 1100.0 * sweep;
    const double fl = std::tanh(1.4 * lpL.process(l, cutoff, 1.1));
    const double fr = std::tanh(1.4 * lpR.process(r, cutoff * 1.03, 1.1));
    // Half of the difference between the sides is kept: wide, but still solid in mono.
    const double rl = 0.75 * fl + 0.25 * fr;
    const double rr = 0.25 * fl + 0.75 * fr;
    subPhase += kTwoPi * f / kSampleRate;
    if (subPhase >= kTwoPi)
      subPhase -= kTwoPi;
    const double sub = std::sin(subPhase);
    const double g = env * duck[static_cast<std::size_t>(i)];
    out.left[static_cast<std::size_t>(i)] += g * (0.5 * sub + 0.4 * rl);
    out.right[static_cast<std::size_t>(i)] += g * (0.5 * sub + 0.4 * rr);
  }
}

// Soft pad on the chords of the MIDI file: a detuned saw pair per note, spread left and right,
// through a gentle low-pass, slow attack and release.
void renderPad(Stereo& out, const std::vector<double>& duck)
{
  for (int bar = 0; bar < kBars; ++bar) {
    for (int v = 0; v < 3; ++v) {
      const double f = midiHz(kChords[bar][v]);
      const long start = stepFrame(bar * kStepsPerBar);
      const long end = stepFrame(bar * kStepsPerBar + kChordLength);
      const long length = end - start + kSampleRate / 2;
      Saw sl(0.13 * (v + 1)), sr(0.29 * (v + 1));
      Biquad fl = Biquad::lowPass(1400.0, 0.6), fr = Biquad::lowPass(1400.0, 0.6);
      const double cents = std::pow(2.0, 9.0 / 1200.0);
      double env = 0.0;
      const double attack = 1.0 - std::exp(-1.0 / (0.06 * kSampleRate));
      const double release = 1.0 - std::exp(-1.0 / (0.12 * kSampleRate));
      for (long n = 0; n < length && start + n < kFrames; ++n) {
        const bool gate = start + n < end;
        env += ((gate ? 1.0 : 0.0) - env) * (gate ? attack : release);
        const double g = 0.12 * env * duck[static_cast<std::size_t>(start + n)];
        out.add(start + n, g * fl.process(sl.next(f / cents)), g * fr.process(sr.next(f * cents)));
      }
    }
  }
}

Stereo synthesiseLoop()
{
  Stereo drums(kFrames);
  Noise kickNoise(0x0B00Dull), snareNoise(0x5A4E5ull), hatNoise(0x4A7ull), crashNoise(0xC4A5Bull);
  const std::vector<Hit> hits = drumPattern();
  bool hatLeft = false;
  for (const Hit& h : hits) {
    const long start = stepFrame(h.step);
    switch (h.drum) {
      case Drum::Kick: renderKick(drums, start, h.velocity, kickNoise); break;
      case Drum::Snare:
      case Drum::Ghost: renderSnare(drums, start, 0.85 * h.velocity, snareNoise); break;
      case Drum::Hat: {
        // The eighths sit a little right; the soft sixteenths alternate left and right of them.
        const bool soft = h.velocity < 0.4;
        if (soft)
          hatLeft = !hatLeft;
        renderHat(drums, start, 0.5 * h.velocity, 0.028, soft ? (hatLeft ? -0.3 : 0.3) : 0.1, hatNoise);
        break;
      }
      case Drum::OpenHat: renderHat(drums, start, 0.35 * h.velocity, 0.16, 0.15, hatNoise); break;
      case Drum::Crash: renderCrash(drums, start, 0.16 * h.velocity, crashNoise); break;
    }
  }

  Stereo mix = drums;
  const std::vector<double> duck = duckCurve(hits);
  renderBass(mix, duck);
  renderPad(mix, duck);

  // Bus: normalise, round the transients off with a gentle saturation, then set the final peak.
  auto peakOf = [](const Stereo& s) {
    double p = 0.0;
    for (std::size_t i = 0; i < s.left.size(); ++i)
      p = std::max({p, std::fabs(s.left[i]), std::fabs(s.right[i])});
    return p;
  };
  const double pre = 1.0 / peakOf(mix);
  const double drive = 1.5;
  const double norm = std::tanh(drive);
  for (std::size_t i = 0; i < mix.left.size(); ++i) {
    mix.left[i] = std::tanh(drive * pre * mix.left[i]) / norm;
    mix.right[i] = std::tanh(drive * pre * mix.right[i]) / norm;
  }
  // 10 ms fade at the very end: the last bass note and the cymbal tails stop without a click.
  const long fade = kSampleRate / 100;
  for (long n = 0; n < fade; ++n) {
    const double g = static_cast<double>(n) / fade;
    mix.left[static_cast<std::size_t>(kFrames - 1 - n)] *= g;
    mix.right[static_cast<std::size_t>(kFrames - 1 - n)] *= g;
  }
  const double post = kPeakTarget / peakOf(mix);
  for (std::size_t i = 0; i < mix.left.size(); ++i) {
    mix.left[i] *= post;
    mix.right[i] *= post;
  }
  return mix;
}

// --- Files ---------------------------------------------------------------------------------------

// Written beside the target and renamed, so that an interrupted run never leaves a partial file.
bool finish(const std::string& temp, const std::string& path, std::string& error)
{
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

bool writeWav(const std::string& path, const Stereo& audio, std::string& error)
{
  const std::string temp = path + ".part";
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
  SNDFILE* file = sf_open(temp.c_str(), SFM_WRITE, &info);
  if (!file) {
    error = "cannot write " + path + ": " + sf_strerror(nullptr);
    return false;
  }
  // Our own rounding to 24 bits; libsndfile takes the top 24 bits of each 32-bit integer.
  std::vector<int> frames(static_cast<std::size_t>(2 * kFrames));
  auto quantise = [](double x) {
    const long q = std::clamp(std::lround(x * 8388607.0), -8388608L, 8388607L);
    return static_cast<int>(q * 256);
  };
  for (std::size_t i = 0; i < audio.left.size(); ++i) {
    frames[2 * i] = quantise(audio.left[i]);
    frames[2 * i + 1] = quantise(audio.right[i]);
  }
  const sf_count_t written = sf_writef_int(file, frames.data(), kFrames);
  const std::string writeError = written == kFrames ? std::string() : sf_strerror(file);
  if (sf_close(file) != 0 || !writeError.empty()) {
    error = "cannot write " + path + ": " + (writeError.empty() ? "error while closing" : writeError);
    std::remove(temp.c_str());
    return false;
  }
  return finish(temp, path, error);
}

struct MidiEvent {
  int pulses;
  int order; // at the same time: note-offs (0) before note-ons (1)
  unsigned char bytes[3];
};

// A Standard MIDI File written byte by byte: chunks with big-endian lengths, event times as
// variable-length deltas, every event with its full status byte (no running status).
class SmfTrack {
public:
  void add(int pulses, std::initializer_list<unsigned char> bytes)
  {
    delta(pulses);
    mBytes.insert(mBytes.end(), bytes);
  }
  void addText(int pulses, const std::string& text) // meta event 03: sequence or track name
  {
    delta(pulses);
    mBytes.insert(mBytes.end(), {0xFF, 0x03, static_cast<unsigned char>(text.size())});
    mBytes.insert(mBytes.end(), text.begin(), text.end());
  }
  void end(int pulses) { add(pulses, {0xFF, 0x2F, 0x00}); }

  const std::vector<unsigned char>& bytes() const { return mBytes; }

private:
  void delta(int pulses)
  {
    unsigned value = static_cast<unsigned>(pulses - mLastPulses);
    mLastPulses = pulses;
    unsigned char groups[4];
    int n = 0;
    do {
      groups[n++] = value & 0x7F;
      value >>= 7;
    } while (value != 0 && n < 4);
    while (n > 1)
      mBytes.push_back(static_cast<unsigned char>(groups[--n] | 0x80));
    mBytes.push_back(groups[0]);
  }

  std::vector<unsigned char> mBytes;
  int mLastPulses = 0;
};

void appendChunk(std::vector<unsigned char>& file, const char* tag, const std::vector<unsigned char>& body)
{
  file.insert(file.end(), tag, tag + 4);
  const auto length = static_cast<std::uint32_t>(body.size());
  file.insert(file.end(),
              {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
               static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)});
  file.insert(file.end(), body.begin(), body.end());
}

bool writeMidi(const std::string& path, std::string& error)
{
  std::vector<MidiEvent> events;
  // Chords end with a proper note-off, the melody with a note-on of velocity 0 (running-status
  // style); a player must understand both.
  for (int bar = 0; bar < kBars; ++bar) {
    const int start = bar * kStepsPerBar * kPulsesPerStep;
    const int end = (bar * kStepsPerBar + kChordLength) * kPulsesPerStep;
    for (int pitch : kChords[bar]) {
      const auto p = static_cast<unsigned char>(pitch);
      events.push_back({start, 1, {0x90, p, 76}});
      events.push_back({end, 0, {0x80, p, 64}});
    }
    int accent = 0;
    for (const Note& n : kMelody[bar]) {
      const auto p = static_cast<unsigned char>(n.pitch);
      const int on = (bar * kStepsPerBar + n.step) * kPulsesPerStep;
      const int off = (bar * kStepsPerBar + n.step + n.length) * kPulsesPerStep;
      events.push_back({on, 1, {0x90, p, static_cast<unsigned char>(accent++ % 2 == 0 ? 100 : 84)}});
      events.push_back({off, 0, {0x90, p, 0}});
    }
  }
  std::stable_sort(events.begin(), events.end(), [](const MidiEvent& a, const MidiEvent& b) {
    return a.pulses != b.pulses ? a.pulses < b.pulses : a.order < b.order;
  });

  // Format 1: a conductor track with the name, 4/4 and the tempo, then the notes.
  const int length = kSteps * kPulsesPerStep;
  SmfTrack conductor;
  conductor.addText(0, "Quennet demo");
  conductor.add(0, {0xFF, 0x58, 0x04, 4, 2, 24, 8}); // 4/4, 24 clocks per click, 8 32nds per quarter
  conductor.add(0,
                {0xFF, 0x51, 0x03, static_cast<unsigned char>(kMicrosPerQuarter >> 16),
                 static_cast<unsigned char>((kMicrosPerQuarter >> 8) & 0xFF),
                 static_cast<unsigned char>(kMicrosPerQuarter & 0xFF)});
  conductor.end(length);
  SmfTrack notes;
  notes.addText(0, "Chords and melody");
  for (const MidiEvent& e : events)
    notes.add(e.pulses, {e.bytes[0], e.bytes[1], e.bytes[2]});
  notes.end(length);

  std::vector<unsigned char> file;
  appendChunk(file, "MThd",
              {0, 1, 0, 2, static_cast<unsigned char>(kPpqn >> 8), static_cast<unsigned char>(kPpqn & 0xFF)});
  appendChunk(file, "MTrk", conductor.bytes());
  appendChunk(file, "MTrk", notes.bytes());

  const std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    out.close();
    if (!out) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      std::remove(temp.c_str());
      return false;
    }
  }
  return finish(temp, path, error);
}

} // namespace

int main(int argc, char** argv)
{
  if (argc != 2 || argv[1][0] == '\0') {
    std::fprintf(stderr, "usage: make-demo-material OUTPUT_DIR\n");
    return 2;
  }
  const std::filesystem::path dir(argv[1]);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    std::fprintf(stderr, "make-demo-material: cannot create directory %s: %s\n", argv[1],
                 ec ? ec.message().c_str() : "not a directory");
    return 1;
  }

  std::string error;
  if (!writeWav((dir / "demo-loop.wav").string(), synthesiseLoop(), error) ||
      !writeMidi((dir / "demo-notes.mid").string(), error)) {
    std::fprintf(stderr, "make-demo-material: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
