// SPDX-License-Identifier: ISC
#pragma once

#include "dsp/EnvelopeCurve.h"
#include "dsp/ZeroedPages.h"

namespace quennet {

// The grain envelope of one voice remembered by frame counter. Every frame starts its walk at
// position 0, so as long as the lengths, the curve and the skew stay, the main reader and the tail
// reader come back to the same positions at the same frame counters, frame after frame: their
// grain envelope values are worked out in the first frame and copied in the ones after. This pays
// where positions are fractional (the frequency and MIDI modes), whose values the whole-position
// tables cannot hold; the values are the very ones worked out, so the output does not change.
//
// A voice's two grain boxes share one memo: either may extend it, and both read it. Audio thread,
// except reserve.
class GrainEnvelopeMemo {
public:
  // Frame counters remembered from 0 unless the owner asks otherwise: the frames of every factory
  // preset at 48 kHz, and the beginning of longer ones. 128 KiB.
  static constexpr int kDefaultCapacity = 8192;

  // What the remembered values depend on besides the frame counter.
  struct Key {
    double grainLength = 0.0;
    double overlapLength = 0.0;
    double span = 0.0;
    double skew = 0.0;
    EnvelopeCurve curve;
    bool operator==(const Key&) const = default;
  };

  // Room for the frame counters below `capacity`, in memory whole, so that filling it on the audio
  // thread never waits for a page; a smaller capacity than the present one changes nothing.
  // Allocates: call while preparing. Without memory the memo remembers nothing.
  void reserve(int capacity);

  // Whether the values at frame counters start … start + n - 1 are all remembered for this key:
  // the main reader's are then in grain(), the tail reader's in tail() (where it reads), each at
  // its frame counter.
  bool holds(const Key& key, int start, int n) const { return start + n <= mFilled && key == mKey; }
  const double* grain() const { return mGrain; }
  const double* tail() const { return mTail; }

  // Where the main reader's values at frame counters start … start + n - 1 are to go, when they
  // continue the remembered ones for this key (a frame starting with another key starts the memo
  // over) and fit; null otherwise. The caller writes them there at once, and the tail reader's
  // values of those frame counters into tailToFill() at their frame counters: they count as
  // remembered.
  double* grainToFill(const Key& key, int start, int n);
  double* tailToFill() { return mTail; }

private:
  ZeroedPages mMemory;
  double* mGrain = nullptr; // mCapacity values
  double* mTail = nullptr; // mCapacity values
  int mCapacity = 0;
  int mFilled = 0; // frame counters remembered, from 0
  Key mKey;
};

} // namespace quennet
