// SPDX-License-Identifier: ISC
#pragma once

// The plug-in's audio path as it first shipped, on the reference grain engine: tempo sync, the
// voices (or in mode "MIDI" their sum weighted by the envelopes), the output high-pass and the
// mix, one sample at a time. Driven like the plug-in: parameter values arrive as plain values in
// the order the dispatch applies them, notes as MIDI bytes, the transport as tempo and position.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "ReferenceGrainEngine.h"
#include "core/quennet.param.h"

namespace reference {

// The parameter indices of the plug-in under test.
using namespace quennet;

struct Highpass {
  double cutoff = 16.0;
  double feedback1 = 0.0, feedback2 = 0.0, gain0 = 0.0, gain1 = 0.0;
  double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
  double antiDenormal = 1e-13;

  void design(double sampleRate)
  {
    x1 = x2 = y1 = y2 = 0.0;
    antiDenormal = 1e-13;
    const double w = sampleRate > 0.0 ? cutoff * 2.0 * M_PI / sampleRate : 0.0;
    const double s = std::sin(w);
    const double c = std::cos(w);
    const double alpha = s / 1.4142135623730951;
    const double g = 1.0 / (1.0 + alpha);
    gain0 = g * (1.0 + c) / 2.0;
    gain1 = -g * (1.0 + c);
    feedback1 = 2.0 * c * g;
    feedback2 = (alpha - 1.0) * g;
  }

  double sanitise(double wet) const { return std::isfinite(wet) ? wet + antiDenormal : 0.0; }

  double process(double x)
  {
    const double d = antiDenormal;
    const double m1 = std::isfinite(x1) ? x1 + d : 0.0;
    const double m2 = std::isfinite(x2) ? x2 + d : 0.0;
    const double n1 = std::isfinite(y1) ? y1 + d : 0.0;
    const double n2 = std::isfinite(y2) ? y2 + d : 0.0;
    antiDenormal = -d;
    const double y = ((gain0 * (m2 + x) + gain1 * m1) + feedback1 * n1) + feedback2 * n2;
    x2 = m1;
    x1 = x;
    y2 = n1;
    y1 = y;
    return y;
  }
};

// The plug-in's sound: eight voices with envelopes, the tempo sync, the notes and the output
// stage, driven like the plug-in's dispatch, MIDI input and audio path drive theirs.
class Engine {
public:
  static constexpr int kNumVoices = 8;

  Engine()
  {
    mVoiceNote.fill(36);
    mVoiceAge.fill(0);
  }

  // The plug-in's reset: a new rate clears the filters, the voices' recordings and the notes.
  void reset(double rate)
  {
    if (rate == mSampleRate)
      return;
    mSampleRate = rate;
    mNoteCounter = 0;
    mHighpassLeft.design(rate);
    mHighpassRight.design(rate);
    for (int v = 0; v < kNumVoices; ++v) {
      mVoices[v].setSampleRate(rate);
      mEnvelopes[v].setSampleRate(rate);
      mVoiceNote[v] = 36;
      mVoiceAge[v] = 0;
    }
  }

  // One parameter change, plain value, as the dispatch applies it.
  void setParam(int paramIdx, double x)
  {
    switch (paramIdx) {
      case kVolume: mVolume = x; break;
      case kMix: mMix = x; break;
      case kGrainMode: {
        allNotesOff();
        const int mode = static_cast<int>(x);
        for (GrainSet& v : mVoices)
          v.setGrainMode(static_cast<eGrainMode>(mode));
        mGrainSyncMode = mode == kGrainModeSync;
        mMidiMode = mode == kGrainModeMidi;
        break;
      }
      case kGrainLength: mVoices[0].setGrainLength(x); break;
      case kGrainSync: mGrainSyncIndex = static_cast<int>(x); break;
      case kGrainFrequency: mVoices[0].setGrainFrequency(x, false); break;
      case kGrainOverlap:
        for (GrainSet& v : mVoices)
          v.setGrainOverlap(x);
        break;
      case kGrainFadeIn:
        for (GrainSet& v : mVoices)
          v.setGrainFadeIn(x);
        break;
      case kGrainSkew:
        for (GrainSet& v : mVoices)
          v.setGrainSkew(x);
        break;
      case kGrainFadeOut:
        for (GrainSet& v : mVoices)
          v.setGrainFadeOut(x);
        break;
      case kFrameLength:
        for (GrainSet& v : mVoices)
          v.setFrameLength(x);
        break;
      case kFrameSync: mFrameSyncIndex = static_cast<int>(x); break;
      case kFrameSyncToHost:
        mFrameSyncToHost = x >= 0.5;
        for (GrainSet& v : mVoices)
          v.setFrameLengthSyncEnabled(mFrameSyncToHost);
        break;
      case kFrameOverlap:
        for (GrainSet& v : mVoices)
          v.setFrameOverlap(x);
        break;
      case kFrameFadeIn:
        for (GrainSet& v : mVoices)
          v.setFrameFadeIn(x);
        break;
      case kFrameSkew:
        for (GrainSet& v : mVoices)
          v.setFrameSkew(x);
        break;
      case kFrameFadeOut:
        for (GrainSet& v : mVoices)
          v.setFrameFadeOut(x);
        break;
      case kMidiPolyphony:
        allNotesOff();
        mPolyphony = static_cast<int>(x);
        break;
      case kMidiAttack:
        for (ADSR& e : mEnvelopes)
          e.setAttack(x);
        break;
      case kMidiDecay:
        for (ADSR& e : mEnvelopes)
          e.setDecay(x);
        break;
      case kMidiSustain:
        for (ADSR& e : mEnvelopes)
          e.setSustain(x);
        break;
      case kMidiRelease:
        for (ADSR& e : mEnvelopes)
          e.setRelease(x);
        break;
      default: break;
    }
  }

  // Note-on, note-off and the channel-mode controllers 120 and 123; other messages do nothing here.
  void midi(std::uint8_t status, std::uint8_t data1, std::uint8_t data2)
  {
    const int kind = status >= 0x80 && status < 0xF0 ? status >> 4 : 0;
    if (kind == 0x8)
      noteOff(data1);
    else if (kind == 0x9)
      data2 == 0 ? noteOff(data1) : noteOn(data1);
    else if (kind == 0xB && (data1 == 120 || data1 == 123))
      allNotesOff();
  }

  void noteOn(int note)
  {
    if (note < 0 || note > 127 || !mMidiMode)
      return;
    const double frequency = kNote2Hz[note];
    const int polyphony = std::min(mPolyphony, kNumVoices);
    int voice = -1;
    for (int v = 0; v < polyphony && voice < 0; ++v)
      if (mVoiceNote[v] == note)
        voice = v;
    for (int v = 0; v < polyphony && voice < 0; ++v)
      if (mEnvelopes[v].mStage == ADSR::kStageIdle)
        voice = v;
    if (voice < 0 && polyphony > 0) {
      voice = 0;
      for (int v = 1; v < polyphony; ++v)
        if (mVoiceAge[v] < mVoiceAge[voice])
          voice = v;
    }
    if (voice < 0)
      voice = 0;
    ++mNoteCounter;
    GrainSet& grains = mVoices[voice];
    grains.setGrainFrequency(frequency, true);
    grains.resetFrame();
    grains.resetGrain();
    mEnvelopes[voice].start();
    mVoiceNote[voice] = note;
    mVoiceAge[voice] = mNoteCounter;
  }

  void noteOff(int note)
  {
    const int polyphony = std::min(mPolyphony, kNumVoices);
    for (int v = 0; v < polyphony; ++v)
      if (mVoiceNote[v] == note)
        mEnvelopes[v].stop(false);
  }

  void allNotesOff()
  {
    for (int v = 0; v < kNumVoices; ++v) {
      mEnvelopes[v].reset();
      mVoices[v].resetFrame();
    }
  }

  // One block: tempo and song position as the host's transport gives them (no transport:
  // 120 BPM at position -1).
  void process(const double* inL, const double* inR, double* outL, double* outR, int nFrames, double tempo,
               double samplePos)
  {
    if (nFrames <= 0)
      return;
    const bool grainSync = mGrainSyncMode;
    const bool frameSync = mFrameSyncToHost;
    if (grainSync || frameSync)
      syncToHostTempo(tempo, samplePos);
    const int polyphony = std::min(mPolyphony, kNumVoices);

    for (int i = 0; i < nFrames; ++i) {
      if (grainSync && ++mGrainSyncCounter >= mGrainSyncSamples && mGrainSyncSamples >= 1) {
        mVoices[0].resetGrain();
        mGrainSyncCounter = 0;
      }
      if (frameSync && ++mFrameSyncCounter >= mFrameSyncSamples && mFrameSyncSamples >= 1) {
        for (GrainSet& v : mVoices)
          v.resetFrame();
        mFrameSyncCounter = 0;
      }
      const double l = inL[i];
      const double r = inR[i];
      double wetL = 0.0;
      double wetR = 0.0;
      if (mMidiMode) {
        for (int v = 0; v < polyphony; ++v) {
          const Sample out = mVoices[v].process(Sample(l, r));
          const double level = mEnvelopes[v].mLevel;
          wetL += level * out.left;
          wetR += level * out.right;
          mEnvelopes[v].update();
        }
      } else {
        const Sample out = mVoices[0].process(Sample(l, r));
        wetL = out.left;
        wetR = out.right;
      }
      wetL = mHighpassLeft.sanitise(wetL);
      wetR = mHighpassRight.sanitise(wetR);
      const double yL = mHighpassLeft.process(wetL);
      const double yR = mHighpassRight.process(wetR);
      outL[i] = ((yL - l) * mMix + l) * mVolume;
      outR[i] = ((yR - r) * mMix + r) * mVolume;
    }
  }

  const ADSR& envelope(int v) const { return mEnvelopes[v]; }

private:
  static constexpr double kMaxSyncSamples = static_cast<double>(std::numeric_limits<std::int32_t>::max());

  void syncToHostTempo(double tempo, double samplePos)
  {
    if (!(tempo > 0.0) || !std::isfinite(tempo) || !(mSampleRate > 0.0))
      return;
    const double beatSamples = mSampleRate * 60.0 / tempo;
    const double grainSamples = ppqScaler[static_cast<size_t>(mGrainSyncIndex)] * beatSamples;
    const double frameSamples = beatSamples * ppqScaler[static_cast<size_t>(mFrameSyncIndex)];
    if (!(grainSamples >= 1.0 && grainSamples <= kMaxSyncSamples && frameSamples >= 1.0 &&
          frameSamples <= kMaxSyncSamples))
      return;
    mGrainSyncSamples = static_cast<std::int64_t>(grainSamples);
    mFrameSyncSamples = static_cast<std::int64_t>(frameSamples);
    const double floored = std::floor(samplePos);
    const std::int64_t position =
      std::isfinite(floored) && std::fabs(floored) < 0x1p62 ? static_cast<std::int64_t>(floored) : -1;
    mGrainSyncCounter = position % mGrainSyncSamples;
    mFrameSyncCounter = position % mFrameSyncSamples;
    if (mGrainSyncMode)
      mVoices[0].setGrainLengthSync(static_cast<int>(mGrainSyncSamples));
    if (mFrameSyncToHost)
      for (GrainSet& v : mVoices)
        v.setFrameLengthSync(static_cast<int>(mFrameSyncSamples));
  }

  static constexpr double kNote2Hz[128] = {
    8.176,    8.662,    9.177,    9.723,    10.301,   10.913,   11.562,   12.250,   12.978,   13.750,   14.568,
    15.434,   16.352,   17.324,   18.354,   19.445,   20.602,   21.827,   23.125,   24.500,   25.957,   27.500,
    29.135,   30.868,   32.703,   34.648,   36.708,   38.891,   41.203,   43.654,   46.249,   48.999,   51.913,
    55.000,   58.270,   61.735,   65.406,   69.296,   73.416,   77.782,   82.407,   87.307,   92.499,   97.999,
    103.826,  110.000,  116.541,  123.471,  130.813,  138.591,  146.832,  155.563,  164.814,  174.614,  184.997,
    195.998,  207.652,  220.000,  233.082,  246.942,  261.626,  277.183,  293.665,  311.127,  329.628,  349.228,
    369.994,  391.995,  415.305,  440.000,  466.164,  493.883,  523.251,  554.365,  587.330,  622.254,  659.255,
    698.456,  739.989,  783.991,  830.609,  880.000,  932.328,  987.767,  1046.502, 1108.731, 1174.659, 1244.508,
    1318.510, 1396.913, 1479.978, 1567.982, 1661.219, 1760.000, 1864.655, 1975.533, 2093.005, 2217.461, 2349.318,
    2489.016, 2637.020, 2793.826, 2959.955, 3135.963, 3322.438, 3520.000, 3729.310, 3951.066, 4186.009, 4434.922,
    4698.636, 4978.032, 5274.041, 5587.652, 5919.911, 6271.927, 6644.875, 7040.000, 7458.620, 7902.133, 8372.018,
    8869.844, 9397.273, 9956.063, 10548.08, 11175.3,  11839.82, 12543.85,
  };

  std::array<GrainSet, kNumVoices> mVoices;
  std::array<ADSR, kNumVoices> mEnvelopes;
  Highpass mHighpassLeft;
  Highpass mHighpassRight;
  std::array<int, kNumVoices> mVoiceNote{};
  std::array<int, kNumVoices> mVoiceAge{};
  double mVolume = 0.0;
  double mMix = 0.0;
  bool mGrainSyncMode = false;
  bool mMidiMode = false;
  bool mFrameSyncToHost = false;
  int mGrainSyncIndex = 0;
  int mFrameSyncIndex = 0;
  int mPolyphony = 0;
  std::int64_t mGrainSyncSamples = 0;
  std::int64_t mFrameSyncSamples = 0;
  std::int64_t mGrainSyncCounter = 0;
  std::int64_t mFrameSyncCounter = 0;
  int mNoteCounter = 0;
  double mSampleRate = 0.0;
};

} // namespace reference
