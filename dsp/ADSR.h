// SPDX-License-Identifier: ISC
#pragma once

namespace quennet {

// Amplitude envelope of one MIDI voice. Each stage is a one-pole approach of mLevel towards a
// target; the attack aims above 1 and the release below 0, so both end in finite time.
//
// update runs on the audio thread, once per sample after the voice's output has been weighted
// by mLevel; the setters come from the parameter dispatch. Settings are amounts 0 … 1.
class ADSR {
public:
  enum Stage { kStageIdle = 0, kStageAttack = 1, kStageDecaySustain = 2, kStageRelease = 3 };

  ADSR() = default;

  // Ends every stage. Rates ≤ 0 keep the previous rate scale.
  void setSampleRate(double sampleRate);
  void reset();
  // Attack from the current level, so a retriggered voice rises from where it is.
  void start();
  void stop(bool immediately);
  void update();
  // n samples: levels[i] = mLevel before the i-th update, then update(), as the owner's
  // per-sample weighting uses them.
  void render(double* levels, int n);
  // render() for `count` envelopes side by side (levels[k] for envelopes[k]): each one's
  // recursion waits on its previous sample, so interleaving them lets the CPU overlap them.
  static void render(ADSR* const* envelopes, double* const* levels, int count, int n);

  // update() would change nothing: idle, or holding its level (a sustain reached, or the release
  // at 1.0 holding full level).
  bool isSteady() const;

  void setAttack(double value); // clamped to 0 … 1
  void setDecay(double value); // stored as 0.8 × value + 0.2
  void setSustain(double value); // level 0 … 1
  void setRelease(double value); // exactly 1.0 holds the voice at full level until reset

  // Read by the owner: the current weight (0 … 1) and the Stage (idle voices are free).
  double mLevel = 0.0;

private:
  double coefficientFor(double setting) const;
  void advance(); // update's step, inlined into the block loops

  double mAttack = 0.0;
  double mDecay = 0.0;
  double mSustain = 0.0;
  double mRelease = 0.0;

public:
  int mStage = kStageIdle;

private:
  double mTarget = 0.0; // value approached in the current stage
  double mCoefficient = 0.0; // fraction of the remaining distance covered per sample
  double mRateScale = 0.002302585092994046; // ln(10) / sample rate; starts as ln(10) / 1000
};

} // namespace quennet
