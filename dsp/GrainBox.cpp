// SPDX-License-Identifier: ISC
#include "dsp/GrainBox.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>

#include "dsp/VectorClones.h"

namespace quennet {

namespace {
template <typename History>
bool finite(const History& h)
{
  for (const auto& pair : h.y)
    if (!std::isfinite(pair[0]) || !std::isfinite(pair[1]))
      return false;
  return true;
}

// The type of GrainBox::Pair: a (left, right) pair in one vector register.
using Pair = double __attribute__((vector_size(16)));

// Catmull-Rom between y1 and y2 at the fraction t: the output lags the read position by two
// samples. For one channel (double) or both at once (Pair): the same operations in each lane.
template <typename T>
inline T catmullRom(T y0, T y1, T y2, T y3, double t)
{
  const T c1 = 0.5 * (y2 - y0);
  const T c2 = y0 - 2.5 * y1 + 2.0 * y2 - 0.5 * y3;
  const T c3 = 0.5 * (y3 - y0) + 1.5 * (y1 - y2);
  return y1 + c1 * t + c2 * (t * t) + c3 * (t * t * t);
}

// How a pass holds the two channels: a pass of many samples one array per channel, so that the
// compiler works each channel across the samples in vector registers; the pass of one sample both
// channels in the lanes of one Pair. Each lane takes the same operations either way.
template <int kMax>
struct Lanes {
  using Value = double;
  static constexpr int kCount = 2;
};
template <>
struct Lanes<1> {
  using Value = Pair;
  static constexpr int kCount = 1;
};

template <typename V, int L, int N>
inline void setLanes(V (&lanes)[L][N], int i, Pair value)
{
  if constexpr (L == 2) {
    lanes[0][i] = value[0];
    lanes[1][i] = value[1];
  } else {
    lanes[0][i] = value;
  }
}

template <typename V, int L, int N>
inline Pair getLanes(const V (&lanes)[L][N], int i)
{
  if constexpr (L == 2)
    return Pair{lanes[0][i], lanes[1][i]};
  else
    return lanes[0][i];
}

// A stand-in for a factor that is not there, as long as any pass.
constexpr int kOnesLength = 256;
constexpr std::array<double, kOnesLength> kOnesArray = [] {
  std::array<double, kOnesLength> ones{};
  ones.fill(1.0);
  return ones;
}();
const double* const kOnes = kOnesArray.data();

// Stretches of samples: run r covers start[r] … start[r] + length[r] - 1.
struct Runs {
  const int* start;
  const int* length;
  int count;
};

// The arithmetic of a pass on what one reader read, for one lane across the samples.
// value_i = the Catmull-Rom between window[i + 1] and window[i + 2] at the fraction of position[i]
// when interpolating (window[i … i + 3]: the reader's history after its i-th read), else
// window[i + 3] as read; then out[i] = ((value_i · head[i]) · fade[i] + tail[i]) · frame[i], where
// a null factor stands for 1 and fade and tail apply in the cross-fade runs only.
template <typename T>
inline void shapeLane(const T* __restrict window, const double* __restrict position, bool interpolate,
                      const double* __restrict head, const double* __restrict fade, const Runs& crossFades,
                      const T* __restrict tail, const double* __restrict frame, T* __restrict out, int n)
{
  // Without a cross-fade in the pass the factors follow one another in one loop; a missing factor
  // is a 1, and multiplying by 1 changes nothing.
  const bool together = crossFades.count == 0;
  if (together && !interpolate && !head && !frame) {
    // Both factors 1: the values as read.
    for (int i = 0; i < n; ++i)
      out[i] = window[i + 3];
    return;
  }
  const double* __restrict h = head ? head : kOnes;
  const double* __restrict f = together && frame ? frame : kOnes;
  if (interpolate) {
    for (int i = 0; i < n; ++i) {
      const double t = position[i] - static_cast<int>(position[i]);
      out[i] = (catmullRom(window[i], window[i + 1], window[i + 2], window[i + 3], t) * h[i]) * f[i];
    }
  } else {
    for (int i = 0; i < n; ++i)
      out[i] = (window[i + 3] * h[i]) * f[i];
  }
  if (together)
    return;
  for (int r = 0; r < crossFades.count; ++r)
    for (int i = crossFades.start[r]; i < crossFades.start[r] + crossFades.length[r]; ++i)
      out[i] = out[i] * fade[i] + tail[i];
  if (frame)
    for (int i = 0; i < n; ++i)
      out[i] = out[i] * frame[i];
}

// The previous grain's share in the grain cross-fade, for a run of tail reads, one lane: the value
// read (interpolated as in shapeLane, with fraction[i]), times (1 - fade[i]), times the grain
// envelope (null: 1), in the tail reader's order of operations.
template <typename T>
inline void fadeOutLane(const T* __restrict window, const double* __restrict fraction, bool interpolate,
                        const double* __restrict fade, const double* __restrict envelope, T* __restrict out, int n)
{
  if (interpolate)
    for (int i = 0; i < n; ++i)
      out[i] = (1.0 - fade[i]) * catmullRom(window[i], window[i + 1], window[i + 2], window[i + 3], fraction[i]);
  else
    for (int i = 0; i < n; ++i)
      out[i] = (1.0 - fade[i]) * window[i + 3];
  if (envelope)
    for (int i = 0; i < n; ++i)
      out[i] = out[i] * envelope[i];
}

// The same loops compiled once per vector unit (VectorClones.h), for the channel arrays of long
// passes: the compiler can then use the widest unit. The same operations in the same order, so the
// same numbers.
QUENNET_VECTOR_CLONES void shapeWide(const double* window, const double* position, bool interpolate, const double* head,
                                     const double* fade, const Runs& crossFades, const double* tail,
                                     const double* frame, double* out, int n)
{
  shapeLane(window, position, interpolate, head, fade, crossFades, tail, frame, out, n);
}

QUENNET_VECTOR_CLONES void fadeOutWide(const double* window, const double* fraction, bool interpolate,
                                       const double* fade, const double* envelope, double* out, int n)
{
  fadeOutLane(window, fraction, interpolate, fade, envelope, out, n);
}

template <typename T>
inline void shape(const T* window, const double* position, bool interpolate, const double* head, const double* fade,
                  const Runs& crossFades, const T* tail, const double* frame, T* out, int n)
{
  if constexpr (std::is_same_v<T, double>)
    if (n > 4) {
      shapeWide(window, position, interpolate, head, fade, crossFades, tail, frame, out, n);
      return;
    }
  shapeLane(window, position, interpolate, head, fade, crossFades, tail, frame, out, n);
}

template <typename T>
inline void fadeOut(const T* window, const double* fraction, bool interpolate, const double* fade,
                    const double* envelope, T* out, int n)
{
  if constexpr (std::is_same_v<T, double>)
    if (n > 4) {
      fadeOutWide(window, fraction, interpolate, fade, envelope, out, n);
      return;
    }
  fadeOutLane(window, fraction, interpolate, fade, envelope, out, n);
}

// out[i] = x[i] / by; a copy per vector unit.
QUENNET_VECTOR_CLONES void divide(const double* x, double by, double* out, int n)
{
  for (int i = 0; i < n; ++i)
    out[i] = x[i] / by;
}

// lanes[…][at + i] = stored[i] for i < n: one stretch of the recording.
template <typename Stored, typename V, int L, int N>
inline void readStretch(const Stored* __restrict stored, V (&lanes)[L][N], int at, int n)
{
  if constexpr (L == 2) {
    double* __restrict left = lanes[0] + at;
    double* __restrict right = lanes[1] + at;
    for (int i = 0; i < n; ++i) {
      left[i] = stored[i].left;
      right[i] = stored[i].right;
    }
  } else {
    for (int i = 0; i < n; ++i)
      lanes[0][at + i] = Pair{stored[i].left, stored[i].right};
  }
}

// The last few reads of one reader: buffer entries and the samples that made them, oldest first.
// A reader's history holds its last four values, so older reads leave no trace.
struct LastReads {
  int entry[4];
  int sample[4];
  int count = 0;

  void add(int e, int s)
  {
    if (count == 4) {
      for (int k = 0; k < 3; ++k) {
        entry[k] = entry[k + 1];
        sample[k] = sample[k + 1];
      }
      count = 3;
    }
    entry[count] = e;
    sample[count] = s;
    ++count;
  }
};
} // namespace

// Arrays of a pass are aligned for the vector units; those of the one-sample pass only as far as
// their (left, right) pairs need.
template <int kMax>
constexpr std::size_t kPassAlignment = kMax > 1 ? 64 : alignof(Pair);

// What the walk gives for a pass of up to kMax samples, worked out from the counters alone (never
// from the audio): the main reader's positions, the buffer stretches it reads, the grain
// cross-fade's samples and the tail reader's positions in them.
template <int kMax>
struct GrainBox::Plan {
  // The samples planned; a compile-time 1 in the pass of one sample, so that its loops fold away.
  int size() const { return kMax == 1 ? 1 : n; }

  int n = 0;
  int frameStart = 0; // frame counter of sample 0
  double end = 0.0; // the main reader's position after the n samples
  bool mainReads = true; // false: the one sample's position lies beyond the grain's stretch
  bool readsAhead = false; // a tail read lies ahead of the recording (beyond its sample's frame counter)
  alignas(kPassAlignment<kMax>) double position[kMax];
  // Main reads: run r covers samples runStart[r] … runStart[r + 1] - 1 and reads from buffer entry
  // runIndex[r] on, one entry per sample; runStart[runs] = n.
  int runs = 0;
  int runStart[kMax + 1];
  int runIndex[kMax];
  // The grain cross-fade: runs of samples with a tail read (a run at a grain start may have no
  // read, just the start), and the tail reader's position at each of those reads, in order.
  int crossFades = 0;
  int crossFadeStart[kMax];
  int crossFadeLength[kMax];
  bool crossFadeCopies[kMax]; // the run begins a grain: the tail reader takes the main history
  int tails = 0;
  alignas(kPassAlignment<kMax>) double tailPosition[kMax];
};

// The envelopes of a pass.
template <int kMax>
struct GrainBox::Envelopes {
  // An envelope whose fades are off (or unused at this skew) is 1 everywhere: multiplying by it
  // changes nothing, so it is neither evaluated nor applied.
  bool grainShaped = false;
  bool frameShaped = false;
  // The grain envelope at the main reader's samples 0 … n - 1, then at each tail read in order.
  alignas(kPassAlignment<kMax>) double grain[2 * kMax];
  alignas(kPassAlignment<kMax>) double frameValues[kMax];
  const double* frame = nullptr; // the frame envelope: frameValues, the shared table or the values worked out ahead
};

// The audio of a pass, in the pass's lanes.
template <int kMax>
struct GrainBox::Pass {
  using Value = typename Lanes<kMax>::Value;
  static constexpr int kLanes = Lanes<kMax>::kCount;

  int recorded = 0; // samples of the pass that are recorded, from the first
  StoredSample before[kMax]; // what the recording replaced, when a tail read lies ahead
  // The main reader's history before the pass, then each value it reads.
  alignas(kPassAlignment<kMax>) Value fetched[kLanes][kMax + 4];
  // Each cross-fade sample's share of the new grain, and the previous grain's faded share.
  alignas(kPassAlignment<kMax>) double fade[kMax];
  alignas(kPassAlignment<kMax>) Value tail[kLanes][kMax];
};

GrainBox::GrainBox() = default;

void GrainBox::setSampleRate(double sampleRate)
{
  if (!(sampleRate > 0.0) || sampleRate > kMaxSampleRate || sampleRate == mSampleRate)
    return;

  mSampleRate = sampleRate;
  mMaxGrainSamples = static_cast<int>(std::floor(2.0 * sampleRate));
  // Room for a grain of just under two seconds plus a 50 % grain overlap.
  mBufferSize = mMaxGrainSamples + mMaxGrainSamples / 2;

  // Called from the plug-in's reset: a failed allocation must not throw into the host. Without a
  // buffer the box reports size 0, and every grain "does not fit": silence. The buffer is reserved
  // whole but takes memory only where it is written (see keepRecordingResident).
  if (!mRecording.allocate(static_cast<std::size_t>(mBufferSize) * sizeof(StoredSample)))
    mBufferSize = 0;
  mBuffer = static_cast<StoredSample*>(mRecording.data());
  // The recording is clear; what the readers fetched last stays in their histories.
  mRecordedExtent = 0;
  mMayHoldNonFinite = !finite(mMainHistory) || !finite(mTailHistory);

  mGrainPosition = 0.0;
  mFrameCounter = 0;
  mWalkFromFrameStart = true;
  invalidateAhead();
}

void GrainBox::keepRecordingResident(int entries)
{
  mRecording.keepResident(static_cast<std::size_t>(std::clamp(entries, 0, mBufferSize)) * sizeof(StoredSample));
}

void GrainBox::setGrainSkew(double skew)
{
  mGrainSkew = skew;
  invalidateAhead();
}

void GrainBox::setFrameSkew(double skew)
{
  mFrameSkew = skew;
  invalidateAhead();
}

void GrainBox::setGrainFadeIn(double amount)
{
  mGrainCurve.setFadeIn(amount);
  invalidateAhead();
}

void GrainBox::setGrainFadeOut(double amount)
{
  mGrainCurve.setFadeOut(amount);
  invalidateAhead();
}

void GrainBox::setFrameFadeIn(double amount)
{
  mFrameCurve.setFadeIn(amount);
  invalidateAhead();
}

void GrainBox::setFrameFadeOut(double amount)
{
  mFrameCurve.setFadeOut(amount);
  invalidateAhead();
}

void GrainBox::shareEnvelopeTables(EnvelopeTable* grain, EnvelopeTable* frame)
{
  mGrainTable = grain;
  mFrameTable = frame;
  invalidateAhead();
}

GrainBox::Lengths GrainBox::nextLengths() const
{
  Lengths l;
  if (mFrequencyMode) {
    // Fractional and unlimited here: a grain that does not fit the buffer plays silence.
    l.grain = mSampleRate * mGrainPeriod;
  } else {
    l.grain = mGrainSamples >= mMaxGrainSamples ? mMaxGrainSamples - 1 : mGrainSamples;
  }
  if (l.grain < 1.0)
    l.grain = 1.0;

  l.overlap = std::floor(mGrainOverlap * l.grain * 0.01);
  // A negative overlap percentage, or an infinite grain with no overlap (0 × inf), would give a
  // cross-fade of negative or NaN length and break the span that every read is checked against.
  if (!(l.overlap >= 0.0))
    l.overlap = 0.0;
  l.span = l.grain + l.overlap;
  l.frame = mFrameSamples > 0 ? mFrameSamples : 1;
  return l;
}

void GrainBox::setGrainBoxProperties()
{
  if (!mFrequencyMode && mGrainSamples >= mMaxGrainSamples)
    mGrainSamples = mMaxGrainSamples - 1; // stored back
  const Lengths l = nextLengths();
  mGrainLength = l.grain;
  mOverlapLength = l.overlap;
  mOverlapStep = 1.0 / mOverlapLength;
  mGrainSpan = l.span;
  // A span beyond any buffer (or NaN) freezes the box, which then records nothing.
  mRecordedLength = mGrainSpan <= kMaxSampleRate * 3.0 ? static_cast<int>(std::ceil(mGrainSpan)) : 0;
  mFrameLength = l.frame;
  // Positions from here on follow the new lengths from wherever the walk stands.
  mWalkFromFrameStart = false;
  invalidateAhead(); // worked out for the old lengths
}

void GrainBox::prepareEnvelopes()
{
  // The tables a pass of the next frame asks for (evaluateEnvelopes): the frame's always, the
  // grain's for whole lengths.
  const Lengths l = nextLengths();
  if (mFrameTable && !mFrameCurve.isFlat(mFrameSkew))
    mFrameTable->values(mFrameCurve, mFrameSkew, l.frame);
  if (mGrainTable && !mGrainCurve.isFlat(mGrainSkew) && l.grain == std::trunc(l.grain))
    mGrainTable->values(mGrainCurve, mGrainSkew, l.span);
}

void GrainBox::resetGrain()
{
  // A grain restarted inside the frame moves the positions of the frame counters after it.
  mWalkFromFrameStart = mWalkFromFrameStart && mFrameCounter == 0;
  mGrainPosition = 0.0;
  invalidateAhead();
}

void GrainBox::resetFrame()
{
  setGrainBoxProperties();
  mGrainPosition = 0.0;
  mFrameCounter = 0;
  mWalkFromFrameStart = true;
}

void GrainBox::reset()
{
  if (mBuffer)
    std::fill(mBuffer, mBuffer + mRecordedExtent, StoredSample{0.0f, 0.0f});
  mRecordedExtent = 0;
  mMainHistory = History{};
  mTailHistory = History{};
  mMayHoldNonFinite = false;
  // The initial values of the effective state (GrainBox.h).
  mGrainLength = 1.0;
  mGrainSpan = 1.0;
  mRecordedLength = 1;
  mGrainPosition = 0.0;
  mOverlapLength = 0.0;
  mOverlapStep = std::numeric_limits<double>::infinity();
  mFrameLength = 1;
  mFrameCounter = 0;
  mWalkFromFrameStart = true;
  invalidateAhead();
}

// ---------------------------------------------------------------------------------------------
// The walk

// The main reader's position for each of the next n samples, in stretches along which it rises by
// exactly 1 per sample (so that each stretch reads consecutive buffer entries), and the position
// after them. Every sample steps as written down: add 1, and take the grain length off once it is
// reached; the fractional remainder carries over, so fractional grains repeat at the exact period
// on average. visit(first position, first sample, count) for each stretch in order; when it
// returns false the walk stops before that stretch and returns its first position.
template <typename Visit>
inline double GrainBox::walk(double p, int n, Visit&& visit) const
{
  const double length = mGrainLength;
  for (int i = 0; i < n;) {
    int count = 1;
    // Adding 1 to a position of 1 or more is exact until the sum reaches the next power of two, so
    // below that and below the wrap the next positions are p + 1, p + 2, … A whole p (the integer
    // modes) stays exact up to the wrap.
    if (p >= 1.0 && p < length && n - i > 1) {
      // p's exponent bits alone: the power of two at or below p.
      const double below = std::bit_cast<double>(std::bit_cast<std::uint64_t>(p) & 0xFFF0000000000000ull);
      const double bound = p == std::trunc(p) ? length : std::min(length, 2.0 * below);
      const double gap = bound - p; // exact: the two lie within a factor of 2, or are whole
      int steps = static_cast<int>(gap);
      if (steps == gap)
        --steps; // p + k < bound for k ≤ steps
      count = 1 + std::min(n - i - 1, steps);
    }
    if (!visit(p, i, count))
      return p;
    p += count - 1;
    double next = p + 1.0;
    if (next >= length)
      next -= length;
    p = next;
    i += count;
  }
  return p;
}

// The grain cross-fade along a stretch of the walk from position p (count samples, the position
// rising by 1 per sample, p inside the grain's stretch). The cross-fade covers the positions below
// the overlap; each of its samples reads the tail reader's position q = length + p as long as that
// lies inside the grain's stretch; a grain start in it (p below 1, only ever a stretch's first
// sample) hands the main reader's history to the tail reader. Both positions rise, so the samples
// in the cross-fade begin the stretch, and those with a tail read begin those.
inline GrainBox::CrossFade GrainBox::crossFadeAlong(double p, int count) const
{
  CrossFade c;
  if (!(p < mOverlapLength))
    return c;
  c.grainStart = p < 1.0;
  // The overlap is whole: the positions below it are the first ceil(overlap - p), give or take the
  // rounding of that difference.
  int fading = std::clamp(static_cast<int>(std::ceil(mOverlapLength - p)), 1, count);
  while (fading < count && p + fading < mOverlapLength)
    ++fading;
  while (fading > 1 && !(p + (fading - 1) < mOverlapLength))
    --fading;
  int reading = fading;
  while (reading > 0 && !(mGrainLength + (p + (reading - 1)) < mGrainSpan))
    --reading;
  c.fading = fading;
  c.reading = reading;
  return c;
}

// How many of the next samples form one pass: as many as wanted, but no more than fit the
// arrays and the running frame. 0 when the box is frozen.
template <int kMax>
inline int GrainBox::passLength(int wanted) const
{
  if (frozen())
    return 0;
  int n = wanted < kMax ? wanted : kMax;
  if (mFrameLength - mFrameCounter < n)
    n = mFrameLength - mFrameCounter;
  return n;
}

// The plan of the next n samples (n ≤ kMax, inside the frame) from the walk. A position beyond
// the grain's stretch (left by lengths taken over without a frame start) reads nothing: such a
// sample is planned alone. Returns the samples planned.
template <int kMax>
inline int GrainBox::plan(Plan<kMax>& plan, int n) const
{
  const double length = mGrainLength;
  const double span = mGrainSpan;
  plan.frameStart = mFrameCounter;
  plan.mainReads = mGrainPosition < span;
  plan.readsAhead = false;
  plan.runs = 0;
  plan.crossFades = 0;
  plan.tails = 0;
  if (!plan.mainReads)
    n = 1;
  const double firstAfterRecording = mFrameCounter + 1.0; // the frame counter of sample 0, plus 1
  int lastIndex = -2; // the buffer entry the main reader read last
  int previousTail = -2; // the last sample with a tail read
  int planned = n;
  plan.end = walk(mGrainPosition, n, [&](double p, int i, int count) {
    if (!(p < span)) {
      if (i > 0) {
        planned = i;
        return false;
      }
      plan.position[0] = p; // beyond the overlap too: no cross-fade
      return true;
    }
    for (int j = 0; j < count; ++j)
      plan.position[i + j] = p + j;
    const int index = static_cast<int>(p); // the floor: p ≥ 0
    if (index != lastIndex + 1) {
      plan.runStart[plan.runs] = i;
      plan.runIndex[plan.runs++] = index;
    }
    lastIndex = index + count - 1;
    const CrossFade c = crossFadeAlong(p, count);
    if (c.grainStart || (c.reading > 0 && i != previousTail + 1)) {
      plan.crossFadeStart[plan.crossFades] = i;
      plan.crossFadeLength[plan.crossFades] = 0;
      plan.crossFadeCopies[plan.crossFades++] = c.grainStart;
    }
    for (int j = 0; j < c.reading; ++j) {
      const double q = length + (p + j);
      plan.tailPosition[plan.tails++] = q;
      plan.readsAhead |= q >= firstAfterRecording + (i + j);
    }
    if (c.reading > 0) {
      plan.crossFadeLength[plan.crossFades - 1] += c.reading;
      previousTail = i + c.reading - 1;
    }
    return true;
  });
  plan.n = planned;
  plan.runStart[plan.runs] = planned;
  return planned;
}

// ---------------------------------------------------------------------------------------------
// Reading

inline GrainBox::Pair GrainBox::stored(int index) const
{
  return Pair{mBuffer[index].left, mBuffer[index].right};
}

inline GrainBox::Pair GrainBox::fetch(double position, History& h) const
{
  // Beyond the grain's stretch, or outside the buffer, there is nothing recorded to read.
  if (!(position < mGrainSpan) || !(position >= 0.0) || !(position < mBufferSize))
    return Pair{0.0, 0.0};

  const int i = static_cast<int>(position); // the floor: position ≥ 0
  const Pair fetched = stored(i);
  if (!mFrequencyMode)
    return fetched;
  Pair* const y = h.y;
  y[0] = y[1];
  y[1] = y[2];
  y[2] = y[3];
  y[3] = fetched;
  return catmullRom(y[0], y[1], y[2], y[3], position - i);
}

Sample GrainBox::getSample(double position, bool tail)
{
  const Pair value = fetch(position, tail ? mTailHistory : mMainHistory);
  return Sample(value[0], value[1]);
}

// ---------------------------------------------------------------------------------------------
// Processing

Sample GrainBox::process(Sample in)
{
  Sample out;
  process(&in.left, &in.right, &out.left, &out.right, 1);
  return out;
}

void GrainBox::process(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  // A few samples go one at a time through the pass of one sample, which compiles to little more
  // than the steps of a sample; longer blocks in passes of kPass.
  if (n <= kFewSamples) {
    for (int i = 0; i < n; ++i)
      if (passLength<1>(1) == 0)
        outLeft[i] = outRight[i] = 0.0;
      else
        runPass<1>(inLeft + i, inRight + i, outLeft + i, outRight + i, 1);
    return;
  }
  int done = 0;
  while (done < n) {
    const int m = passLength<kPass>(n - done);
    if (m == 0) {
      for (int i = done; i < n; ++i)
        outLeft[i] = outRight[i] = 0.0;
      return;
    }
    done += runPass<kPass>(inLeft + done, inRight + done, outLeft + done, outRight + done, m);
  }
}

// One pass of n samples (n ≤ kMax, inside the frame); returns the samples done (fewer when a
// position beyond the grain's stretch comes up). The positions of both readers and of the frame
// depend only on the counters, never on the audio, so the plan and the envelopes come first (the
// envelopes' powers for the whole pass at once); then the audio: recording and reads in the
// written order, and the arithmetic on what was read across the whole pass.
template <int kMax>
inline int GrainBox::runPass(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  static_assert(kMax <= kOnesLength);
  if constexpr (kMax == 1)
    n = 1; // so that the compiler drops the loops
  Plan<kMax> plan;
  if constexpr (kMax == 1)
    this->plan(plan, 1); // plans at least one sample
  else
    n = this->plan(plan, n);
  Envelopes<kMax> envelopes;
  envelopesFor(plan, envelopes);
  Pass<kMax> pass;
  readMain(plan, pass, inLeft, inRight);
  readTails(plan, pass, envelopes);
  const bool interpolate = mFrequencyMode && plan.mainReads;
  const double* head = envelopes.grainShaped ? envelopes.grain : nullptr;
  const Runs crossFades{plan.crossFadeStart, plan.crossFadeLength, plan.crossFades};
  const double* frame = envelopes.frameShaped ? envelopes.frame : nullptr;
  if constexpr (Pass<kMax>::kLanes == 2) {
    double* const out[2] = {outLeft, outRight};
    for (int c = 0; c < 2; ++c)
      shape(pass.fetched[c] + 1, plan.position, interpolate, head, pass.fade, crossFades, pass.tail[c], frame, out[c],
            n);
  } else {
    Pair out[kMax];
    shape(pass.fetched[0] + 1, plan.position, interpolate, head, pass.fade, crossFades, pass.tail[0], frame, out, n);
    for (int i = 0; i < n; ++i) {
      outLeft[i] = out[i][0];
      outRight[i] = out[i][1];
    }
  }
  if (interpolate)
    for (int k = 0; k < 4; ++k)
      mMainHistory.y[k] = getLanes(pass.fetched, n + k);
  mGrainPosition = plan.end;
  return n;
}

// The envelopes of a pass: worked out for the pass, or, for a pass of a few samples, taken from
// the ones worked out ahead (the same evaluation of the same positions, so the same values).
template <int kMax>
inline void GrainBox::envelopesFor(const Plan<kMax>& plan, Envelopes<kMax>& envelopes)
{
  const int n = plan.size();
  if constexpr (kMax > kFewSamples) {
    evaluateEnvelopes(plan, envelopes);
    return;
  }
  int k = plan.frameStart - mAhead.frameStart;
  if (!(k >= 0 && k + n <= mAhead.count)) {
    lookAhead();
    k = 0;
    if (n > mAhead.count) {
      evaluateEnvelopes(plan, envelopes);
      return;
    }
  }
  envelopes.grainShaped = mAhead.grainShaped;
  envelopes.frameShaped = mAhead.frameShaped;
  envelopes.frame = mAhead.frame + k;
  if (!envelopes.grainShaped)
    return;
  for (int i = 0; i < n; ++i)
    envelopes.grain[i] = mAhead.grain[k + i];
  int tail = n;
  for (int r = 0; r < plan.crossFades; ++r)
    for (int i = plan.crossFadeStart[r]; i < plan.crossFadeStart[r] + plan.crossFadeLength[r]; ++i)
      envelopes.grain[tail++] = mAhead.tail[k + i];
}

// Works out the envelopes of the next samples as a pass would (the same walk, tables and block
// evaluation, so the same values), for as long as nothing changes them: at most kAhead samples,
// up to the frame's end or a position beyond the grain's stretch.
void GrainBox::lookAhead()
{
  Plan<kAhead> plan;
  const int n = this->plan(plan, std::min(kAhead, mFrameLength - mFrameCounter));
  Envelopes<kAhead> envelopes;
  evaluateEnvelopes(plan, envelopes);
  mAhead.count = n;
  mAhead.frameStart = plan.frameStart;
  mAhead.grainShaped = envelopes.grainShaped;
  mAhead.frameShaped = envelopes.frameShaped;
  for (int k = 0; k < n; ++k) {
    mAhead.grain[k] = envelopes.grainShaped ? envelopes.grain[k] : 1.0;
    mAhead.tail[k] = 1.0;
    mAhead.frame[k] = envelopes.frameShaped ? envelopes.frame[k] : 1.0;
  }
  if (!envelopes.grainShaped)
    return;
  int tail = n;
  for (int r = 0; r < plan.crossFades; ++r)
    for (int i = plan.crossFadeStart[r]; i < plan.crossFadeStart[r] + plan.crossFadeLength[r]; ++i)
      mAhead.tail[i] = envelopes.grain[tail++];
}

template <int kMax>
void GrainBox::evaluateEnvelopes(const Plan<kMax>& plan, Envelopes<kMax>& envelopes) const
{
  const int n = plan.size();
  envelopes.grainShaped = !mGrainCurve.isFlat(mGrainSkew);
  envelopes.frameShaped = !mFrameCurve.isFlat(mFrameSkew);
  if (envelopes.grainShaped) {
    // Whole positions (the integer grain modes: a whole length, and whole positions from the start
    // of the grain) inside the grain's stretch come back in every grain: their values are in the
    // shared table.
    const bool whole =
      plan.mainReads && mGrainLength == std::trunc(mGrainLength) && plan.position[0] == std::trunc(plan.position[0]);
    // The table as far as this pass reads: up to the last entry of each stretch of main reads, and
    // of the tail reads.
    int needed = 0;
    if (whole) {
      for (int r = 0; r < plan.runs; ++r)
        needed = std::max(needed, plan.runIndex[r] + plan.runStart[r + 1] - plan.runStart[r]);
      for (int i = 0; i < plan.tails; ++i)
        needed = std::max(needed, static_cast<int>(plan.tailPosition[i]) + 1);
    }
    const double* table =
      whole && mGrainTable ? mGrainTable->values(mGrainCurve, mGrainSkew, mGrainSpan, needed) : nullptr;
    if (table) {
      // Along a run the whole positions rise by 1 from the run's first entry: their values lie
      // side by side in the table.
      for (int r = 0; r < plan.runs; ++r)
        std::copy_n(table + plan.runIndex[r], plan.runStart[r + 1] - plan.runStart[r],
                    envelopes.grain + plan.runStart[r]);
      for (int i = 0; i < plan.tails; ++i)
        envelopes.grain[n + i] = table[static_cast<int>(plan.tailPosition[i])];
    } else {
      evaluateGrainEnvelope(plan, envelopes);
    }
  }
  if (!envelopes.frameShaped)
    return;
  // The frame counter runs through whole positions in every frame.
  if (const double* table =
        mFrameTable ? mFrameTable->values(mFrameCurve, mFrameSkew, mFrameLength, plan.frameStart + n) : nullptr) {
    envelopes.frame = table + plan.frameStart;
    return;
  }
  alignas(kPassAlignment<kMax>) double at[kMax];
  for (int i = 0; i < n; ++i)
    at[i] = static_cast<double>(plan.frameStart + i);
  divide(at, static_cast<double>(mFrameLength), at, n);
  mFrameCurve.values(at, envelopes.frameValues, n, mFrameSkew);
  envelopes.frame = envelopes.frameValues;
}

// The grain envelope at the pass's positions from the curve, or copied from the memo where an
// earlier frame worked out the same positions.
template <int kMax>
void GrainBox::evaluateGrainEnvelope(const Plan<kMax>& plan, Envelopes<kMax>& envelopes) const
{
  const int n = plan.size();
  // The tail reads in order, each at the frame counter of its sample.
  const auto forEachTail = [&](auto&& visit) {
    int tail = n;
    for (int r = 0; r < plan.crossFades; ++r)
      for (int i = plan.crossFadeStart[r]; i < plan.crossFadeStart[r] + plan.crossFadeLength[r]; ++i)
        visit(tail++, plan.frameStart + i);
  };
  GrainEnvelopeMemo* const memo = mWalkFromFrameStart ? mGrainMemo : nullptr;
  const GrainEnvelopeMemo::Key key = memo ? memoKey() : GrainEnvelopeMemo::Key{};
  if (memo && memo->holds(key, plan.frameStart, n)) {
    std::copy_n(memo->grain() + plan.frameStart, n, envelopes.grain);
    const double* tail = memo->tail();
    forEachTail([&](int entry, int frameCounter) { envelopes.grain[entry] = tail[frameCounter]; });
    return;
  }

  alignas(kPassAlignment<kMax>) double at[2 * kMax];
  divide(plan.position, mGrainSpan, at, n);
  divide(plan.tailPosition, mGrainSpan, at + n, plan.tails);
  mGrainCurve.values(at, envelopes.grain, n + plan.tails, mGrainSkew);

  if (double* grain = memo ? memo->grainToFill(key, plan.frameStart, n) : nullptr) {
    std::copy_n(envelopes.grain, n, grain);
    double* tail = memo->tailToFill();
    forEachTail([&](int entry, int frameCounter) { tail[frameCounter] = envelopes.grain[entry]; });
  }
}

GrainEnvelopeMemo::Key GrainBox::memoKey() const
{
  return {mGrainLength, mOverlapLength, mGrainSpan, mGrainSkew, mGrainCurve};
}

// A frame records its first mGrainSpan input samples (all of them, if the frame is shorter): of
// the next n samples, the first this many. (The span fits the buffer, an int.)
inline int GrainBox::recordedIn(int n) const
{
  return std::clamp(mRecordedLength - mFrameCounter, 0, n);
}

// Records the pass and makes the main reader's reads as the samples would: its values go to
// pass.fetched (after the four its history held).
template <int kMax>
inline void GrainBox::readMain(const Plan<kMax>& plan, Pass<kMax>& pass, const double* inLeft, const double* inRight)
{
  const int n = plan.size();
  // Interpolated reads work on the history before the pass and the values read after it.
  if (mFrequencyMode)
    for (int k = 0; k < 4; ++k)
      setLanes(pass.fetched, k, mMainHistory.y[k]);
  pass.recorded = recordedIn(n);
  // The tail reader may read ahead of the recording, where the previous frame's samples still
  // are until this pass records over them: keep those. (In a pass of one sample the recording
  // comes first, so no read there finds what it replaced.)
  if (kMax > 1 && plan.readsAhead)
    std::copy(mBuffer + plan.frameStart, mBuffer + plan.frameStart + pass.recorded, pass.before);
  storeInput(inLeft, inRight, pass.recorded);
  mFrameCounter += n - pass.recorded; // storeInput counted the recorded ones

  // The main reader reads at or below the frame counter, never ahead: after the recording it
  // gets what it got sample by sample.
  for (int r = 0; r < plan.runs; ++r) {
    const int first = plan.runStart[r];
    readStretch(mBuffer + plan.runIndex[r], pass.fetched, 4 + first, plan.runStart[r + 1] - first);
  }
  if (!plan.mainReads)
    setLanes(pass.fetched, 4, Pair{0.0, 0.0}); // nothing to read: silence, the history unchanged
}

// The tail reader's reads as the samples would make them, after readMain: the cross-fade's tail
// share (the previous grain's continuation, already faded) goes to pass.tail.
template <int kMax>
inline void GrainBox::readTails(const Plan<kMax>& plan, Pass<kMax>& pass, const Envelopes<kMax>& envelopes)
{
  const int n = plan.size();
  const bool interpolate = mFrequencyMode;
  const int start = plan.frameStart;
  const int recorded = pass.recorded;
  // The main reader's history just before its i-th read: the last four values it read (it reads
  // every sample), or, without interpolation, the history as it is (reads do not touch it then).
  auto mainHistoryAt = [&](int i) {
    if (!interpolate)
      return mMainHistory;
    History h;
    for (int k = 0; k < 4; ++k)
      h.y[k] = getLanes(pass.fetched, i + k);
    return h;
  };

  // Within a run the tail reader reads one value per sample after the four its history holds,
  // like the main reader, so a run's values are read in order first and its arithmetic is done
  // across the run. At a grain start it carries on from where the main reader stopped.
  using Value = typename Pass<kMax>::Value;
  constexpr int kLanes = Pass<kMax>::kLanes;
  int tailIndex = 0; // into the tail envelopes, envelopes.grain + n
  for (int r = 0; r < plan.crossFades; ++r) {
    const int i = plan.crossFadeStart[r];
    const int m = plan.crossFadeLength[r];
    if (plan.crossFadeCopies[r])
      mTailHistory = mainHistoryAt(i);
    if (m == 0)
      continue;
    // Linear cross-fade from the previous grain's continuation (buffer mGrainLength … mGrainSpan)
    // into the new grain. The tail positions lie in the recorded stretch (q < span ≤ buffer).
    alignas(kPassAlignment<kMax>) Value window[kLanes][kMax + 4];
    alignas(kPassAlignment<kMax>) double fraction[kMax];
    for (int k = 0; k < 4; ++k)
      setLanes(window, k, mTailHistory.y[k]);
    for (int j = 0; j < m; ++j) {
      const double q = plan.tailPosition[tailIndex + j];
      const int k = static_cast<int>(q);
      const int ahead = k - start; // recorded at sample `ahead` of this pass, if 0 ≤ ahead < recorded
      const StoredSample& read = kMax > 1 && ahead > i + j && ahead < recorded ? pass.before[ahead] : mBuffer[k];
      setLanes(window, 4 + j, Pair{read.left, read.right});
      fraction[j] = q - k;
      pass.fade[i + j] = plan.position[i + j] * mOverlapStep;
    }
    const double* envelope = envelopes.grainShaped ? envelopes.grain + n + tailIndex : nullptr;
    for (int c = 0; c < kLanes; ++c)
      fadeOut(window[c] + 1, fraction, interpolate, pass.fade + i, envelope, pass.tail[c] + i, m);
    if (interpolate)
      for (int k = 0; k < 4; ++k)
        mTailHistory.y[k] = getLanes(window, m + k);
    tailIndex += m;
  }
}

// Records `count` input samples from the frame counter on and counts them.
inline void GrainBox::storeInput(const double* inLeft, const double* inRight, int count)
{
  if (count <= 0)
    return; // the frame records no further (the extent counts recorded entries only)
  StoredSample* const to = mBuffer + mFrameCounter;
  for (int i = 0; i < count; ++i) {
    to[i].left = static_cast<float>(inLeft[i]);
    to[i].right = static_cast<float>(inRight[i]);
  }
  mFrameCounter += count;
  mRecordedExtent = std::max(mRecordedExtent, mFrameCounter);
  constexpr float kFloatMax = std::numeric_limits<float>::max();
  int nonFinite = 0;
  for (int i = 0; i < count; ++i)
    nonFinite |= !(std::fabs(to[i].left) <= kFloatMax) + !(std::fabs(to[i].right) <= kFloatMax);
  if (nonFinite)
    mMayHoldNonFinite = true;
}

// What process does to the box, without the output: the recording, the counters and, when reads
// are interpolated, the readers' histories. The walk and the cross-fade are the same; as a history
// holds only the last four values its reader fetched, only the last reads of each reader are made.
void GrainBox::record(const double* inLeft, const double* inRight, int n)
{
  if (frozen())
    return;
  n = std::min(n, mFrameLength - mFrameCounter); // then the frame is over
  const double length = mGrainLength;
  const double span = mGrainSpan;
  const int start = mFrameCounter;
  const int recorded = recordedIn(n);

  LastReads main; // the main reader's reads
  LastReads mainAtCopy; // its reads before the last grain start in the cross-fade
  bool copied = false; // the tail reader took the main history then
  LastReads tail; // the tail reader's reads since then (or since the start)
  mGrainPosition = walk(mGrainPosition, n, [&](double p, int i, int count) {
    if (!(p < span))
      return true; // beyond the grain's stretch (and so beyond the overlap): nothing read
    const CrossFade c = crossFadeAlong(p, count);
    if (c.grainStart) {
      mainAtCopy = main;
      copied = true;
      tail = LastReads{};
    }
    const int index = static_cast<int>(p);
    for (int j = std::max(0, count - 4); j < count; ++j)
      main.add(index + j, i + j);
    for (int j = std::max(0, c.reading - 4); j < c.reading; ++j)
      tail.add(static_cast<int>(length + (p + j)), i + j);
    return true;
  });

  if (!mFrequencyMode) {
    // Reads without interpolation leave the histories alone.
    storeInput(inLeft, inRight, recorded);
    mFrameCounter += n - recorded;
    if (copied)
      mTailHistory = mMainHistory;
    return;
  }
  // A tail read ahead of the recording found what the buffer held before this stretch recorded
  // over it.
  const auto readAhead = [&](int k) {
    const int ahead = tail.entry[k] - start; // recorded at sample `ahead`, if 0 ≤ ahead < recorded
    return ahead > tail.sample[k] && ahead < recorded;
  };
  Pair tailValues[4];
  for (int k = 0; k < tail.count; ++k)
    if (readAhead(k))
      tailValues[k] = stored(tail.entry[k]);
  storeInput(inLeft, inRight, recorded);
  mFrameCounter += n - recorded;
  for (int k = 0; k < tail.count; ++k)
    if (!readAhead(k))
      tailValues[k] = stored(tail.entry[k]);
  const auto push = [](History& h, Pair value) {
    h.y[0] = h.y[1];
    h.y[1] = h.y[2];
    h.y[2] = h.y[3];
    h.y[3] = value;
  };
  if (copied) {
    mTailHistory = mMainHistory;
    for (int k = 0; k < mainAtCopy.count; ++k)
      push(mTailHistory, stored(mainAtCopy.entry[k]));
  }
  for (int k = 0; k < tail.count; ++k)
    push(mTailHistory, tailValues[k]);
  for (int k = 0; k < main.count; ++k)
    push(mMainHistory, stored(main.entry[k]));
}

} // namespace quennet
