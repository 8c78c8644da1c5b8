#include "dsp/GrainBox.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>

#include "dsp/VectorClones.h"

namespace
{
template <typename History>
bool finite(const History& h)
{
  for (const auto& pair : h.y)
    if (!std::isfinite(pair[0]) || !std::isfinite(pair[1]))
      return false;
  return true;
}

// Catmull-Rom between y[1] and y[2] at the fraction t: the output lags the read position by two
// samples.
inline double catmullRom(const double* y, double t)
{
  const double c1 = 0.5 * (y[2] - y[0]);
  const double c2 = y[0] - 2.5 * y[1] + 2.0 * y[2] - 0.5 * y[3];
  const double c3 = 0.5 * (y[3] - y[0]) + 1.5 * (y[1] - y[2]);
  return y[1] + c1 * t + c2 * (t * t) + c3 * (t * t * t);
}

// A stand-in for a factor that is not there, as long as any pass.
constexpr int kOnesLength = 256;
constexpr std::array<double, kOnesLength> kOnesArray = [] {
  std::array<double, kOnesLength> ones{};
  ones.fill(1.0);
  return ones;
}();
const double* const kOnes = kOnesArray.data();

// Left and right arrays of a pass.
struct Channels
{
  const double* window[2];
  const double* tail[2];
  double* out[2];
};

// Stretches of samples: run r covers start[r] … start[r] + length[r] - 1.
struct Runs
{
  const int* start;
  const int* length;
  int count;
};

// The arithmetic of a pass on what was read, across the samples, so that the compiler can use the
// widest vector unit (VectorClones.h).
// value_i = the Catmull-Rom between window[i + 1] and window[i + 2] at the fraction of position[i]
// when interpolating (window[i … i + 3]: the reader's history after its i-th read), else
// window[i + 3] as read; then out[i] = ((value_i · head[i]) · fade[i] + tail[i]) · frame[i], where
// a null factor stands for 1 and fade and tail apply in the cross-fade runs only. Both channels.
QUENNET_VECTOR_CLONES void
shapeChannels(const Channels& channels, const double* __restrict position, bool interpolate,
              const double* __restrict head, const double* __restrict fade, const Runs& crossFades,
              const double* __restrict frame, int n)
{
  const double* __restrict wl = channels.window[0];
  const double* __restrict wr = channels.window[1];
  double* __restrict outL = channels.out[0];
  double* __restrict outR = channels.out[1];
  // Without a cross-fade in the pass the factors follow one another in one loop; a missing factor
  // is a 1, and multiplying by 1 changes nothing.
  const bool together = crossFades.count == 0;
  const double* __restrict h = head ? head : kOnes;
  const double* __restrict f = together && frame ? frame : kOnes;
  if (interpolate)
  {
    for (int i = 0; i < n; ++i)
    {
      const double t = position[i] - static_cast<int>(position[i]);
      outL[i] = (catmullRom(wl + i, t) * h[i]) * f[i];
      outR[i] = (catmullRom(wr + i, t) * h[i]) * f[i];
    }
  }
  else
  {
    for (int i = 0; i < n; ++i)
    {
      outL[i] = (wl[i + 3] * h[i]) * f[i];
      outR[i] = (wr[i + 3] * h[i]) * f[i];
    }
  }
  if (together)
    return;
  const double* __restrict tl = channels.tail[0];
  const double* __restrict tr = channels.tail[1];
  for (int r = 0; r < crossFades.count; ++r)
    for (int i = crossFades.start[r]; i < crossFades.start[r] + crossFades.length[r]; ++i)
    {
      outL[i] = outL[i] * fade[i] + tl[i];
      outR[i] = outR[i] * fade[i] + tr[i];
    }
  if (frame)
    for (int i = 0; i < n; ++i)
    {
      outL[i] = outL[i] * frame[i];
      outR[i] = outR[i] * frame[i];
    }
}

// The previous grain's share in the grain cross-fade, for a run of tail reads: the value read
// (interpolated as in shapeChannels, with fraction[i]), times (1 - fade[i]), times the grain
// envelope (null: 1), in the tail reader's order of operations.
QUENNET_VECTOR_CLONES void
fadeOutTails(const Channels& channels, const double* __restrict fraction, bool interpolate,
             const double* __restrict fade, const double* __restrict envelope, int n)
{
  for (int c = 0; c < 2; ++c)
  {
    const double* __restrict w = channels.window[c];
    double* __restrict out = channels.out[c];
    if (interpolate)
      for (int i = 0; i < n; ++i)
        out[i] = (1.0 - fade[i]) * catmullRom(w + i, fraction[i]);
    else
      for (int i = 0; i < n; ++i)
        out[i] = (1.0 - fade[i]) * w[i + 3];
    if (envelope)
      for (int i = 0; i < n; ++i)
        out[i] = out[i] * envelope[i];
  }
}

// out[i] = x[i] / by; a copy per vector unit, like shapeChannels.
QUENNET_VECTOR_CLONES void divide(const double* x, double by, double* out,
                                                                          int n)
{
  for (int i = 0; i < n; ++i)
    out[i] = x[i] / by;
}

// left[i], right[i] = stored[i] for i < n: one stretch of the recording.
template <typename Stored>
void readStretch(const Stored* __restrict stored, double* __restrict left, double* __restrict right, int n)
{
  for (int i = 0; i < n; ++i)
  {
    left[i] = stored[i].left;
    right[i] = stored[i].right;
  }
}
} // namespace

GrainBox::GrainBox() = default;

void GrainBox::setSampleRate(double sampleRate)
{
  if (!(sampleRate > 0.0) || sampleRate > kMaxSampleRate || sampleRate == mSampleRate)
    return;

  mSampleRate = sampleRate;
  mMaxGrainSamples = static_cast<int>(std::floor(2.0 * sampleRate));
  // Room for a grain of just under two seconds plus a 50 % grain overlap.
  mBufferSize = mMaxGrainSamples + mMaxGrainSamples / 2;

  mBuffer.reset();
  // Called from the audio thread's reset: a failed allocation must not throw into the host.
  // Without a buffer the box reports size 0, and every grain "does not fit": silence.
  // The zeros are written here, so every page is in memory before the audio thread records.
  mBuffer.reset(new (std::nothrow) StoredSample[static_cast<std::size_t>(mBufferSize)]());
  if (!mBuffer)
    mBufferSize = 0;
  // The recording is clear; what the readers fetched last stays in their histories.
  mRecordedExtent = 0;
  mMayHoldNonFinite = !finite(mMainHistory) || !finite(mTailHistory);

  mGrainPosition = 0.0;
  mFrameCounter = 0;
  mAhead.count = 0;
}

void GrainBox::setGrainBoxProperties()
{
  if (mFrequencyMode)
  {
    // Fractional and unlimited here: a grain that does not fit the buffer plays silence.
    mGrainLength = mSampleRate * mGrainPeriod;
  }
  else
  {
    if (mGrainSamples >= mMaxGrainSamples)
      mGrainSamples = mMaxGrainSamples - 1;
    mGrainLength = mGrainSamples;
  }
  if (mGrainLength < 1.0)
    mGrainLength = 1.0;

  mOverlapLength = std::floor(mGrainOverlap * mGrainLength * 0.01);
  // A negative overlap percentage, or an infinite grain with no overlap (0 × inf), would give a
  // cross-fade of negative or NaN length and break the span that every read is checked against.
  if (!(mOverlapLength >= 0.0))
    mOverlapLength = 0.0;
  mOverlapStep = 1.0 / mOverlapLength;
  mGrainSpan = mGrainLength + mOverlapLength;

  mFrameLength = mFrameSamples > 0 ? mFrameSamples : 1;
  mAhead.count = 0; // worked out for the old lengths
}

void GrainBox::resetGrain()
{
  mGrainPosition = 0.0;
}

void GrainBox::resetFrame()
{
  setGrainBoxProperties();
  mGrainPosition = 0.0;
  mFrameCounter = 0;
}

void GrainBox::reset()
{
  if (mBuffer)
    std::fill(mBuffer.get(), mBuffer.get() + mRecordedExtent, StoredSample{0.0f, 0.0f});
  mRecordedExtent = 0;
  mMainHistory = History{};
  mTailHistory = History{};
  mMayHoldNonFinite = false;
  // The initial values of the effective state (GrainBox.h).
  mGrainLength = 1.0;
  mGrainSpan = 1.0;
  mGrainPosition = 0.0;
  mOverlapLength = 0.0;
  mOverlapStep = std::numeric_limits<double>::infinity();
  mFrameLength = 1;
  mFrameCounter = 0;
  mAhead.count = 0;
}

// Takes a value the reader fetched into its history and interpolates between the middle two.
inline GrainBox::Pair GrainBox::interpolate(History& h, Pair fetched, double t)
{
  Pair* const y = h.y;
  y[0] = y[1];
  y[1] = y[2];
  y[2] = y[3];
  y[3] = fetched;
  // Catmull-Rom between y1 and y2: the output lags the read position by two samples.
  const Pair c1 = 0.5 * (y[2] - y[0]);
  const Pair c2 = y[0] - 2.5 * y[1] + 2.0 * y[2] - 0.5 * y[3];
  const Pair c3 = 0.5 * (y[3] - y[0]) + 1.5 * (y[1] - y[2]);
  return y[1] + c1 * t + c2 * (t * t) + c3 * (t * t * t);
}

inline GrainBox::Pair GrainBox::fetch(double position, History& h) const
{
  // Beyond the grain's stretch, or outside the buffer, there is nothing recorded to read.
  if (!(position < mGrainSpan) || !(position >= 0.0) || !(position < mBufferSize))
    return Pair{0.0, 0.0};

  const int i = static_cast<int>(position); // the floor: position ≥ 0
  const Pair fetched = {mBuffer[i].left, mBuffer[i].right};
  if (!mFrequencyMode)
    return fetched;
  return interpolate(h, fetched, position - i);
}

// What fetch does to the history, without the interpolation: for reads that nobody hears.
inline void GrainBox::follow(double position, History& h) const
{
  if (!mFrequencyMode || !(position < mGrainSpan) || !(position >= 0.0) || !(position < mBufferSize))
    return;
  const int i = static_cast<int>(position);
  h.y[0] = h.y[1];
  h.y[1] = h.y[2];
  h.y[2] = h.y[3];
  h.y[3] = Pair{mBuffer[i].left, mBuffer[i].right};
}

Sample GrainBox::getSample(double position, bool tail)
{
  const Pair value = fetch(position, tail ? mTailHistory : mMainHistory);
  return Sample(value[0], value[1]);
}

Sample GrainBox::process(Sample in)
{
  if (frozen())
    return Sample();
  const Pair out = step(Pair{in.left, in.right});
  return Sample(out[0], out[1]);
}

// How many of the next samples form one pass: as many as wanted, but no more than fit the
// arrays and the running frame. 0 when the box is frozen.
int GrainBox::runLength(int wanted) const
{
  if (frozen())
    return 0;
  int n = wanted < kPass ? wanted : kPass;
  if (mFrameLength - mFrameCounter < n)
    n = mFrameLength - mFrameCounter;
  return n;
}

void GrainBox::process(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  int done = 0;
  while (done < n)
  {
    const int m = runLength(n - done);
    if (m == 0)
    {
      for (int i = done; i < n; ++i)
        outLeft[i] = outRight[i] = 0.0;
      return;
    }
    // A pass of a few samples costs less one sample at a time than through the block loop's
    // set-up (hosts that call with one or two frames, passes cut short by a frame's end).
    if (m <= kFewSamples)
      steps(inLeft + done, inRight + done, outLeft + done, outRight + done, m);
    else
      run(inLeft + done, inRight + done, outLeft + done, outRight + done, m);
    done += m;
  }
}

// What process does to the box, without the output: the recording, the counters and, when reads
// are interpolated, the readers' histories.
void GrainBox::record(const double* inLeft, const double* inRight, int n)
{
  if (frozen())
    return;
  n = std::min(n, mFrameLength - mFrameCounter); // then the frame is over
  if (!mFrequencyMode && n > kFewSamples)
  {
    // Reads without interpolation leave the histories alone: the recording at once, then the
    // counters; the tail reader's history becomes the main reader's at a grain start with a
    // cross-fade (the overlap is a whole number: there, positions below 1 lie in it).
    const int recorded = std::clamp(static_cast<int>(std::ceil(mGrainSpan)) - mFrameCounter, 0, n);
    storeInput(inLeft, inRight, recorded);
    mFrameCounter += n - recorded;
    bool grainStart = false;
    mGrainPosition = positionAfter(mGrainPosition, n, grainStart);
    if (grainStart && mOverlapLength > 0.0)
      mTailHistory = mMainHistory;
    return;
  }
  // Sample by sample: a tail read may lie ahead of the recording, where it still finds the old
  // samples (and a few samples cost less so).
  const double length = mGrainLength;
  const double span = mGrainSpan;
  const double overlap = mOverlapLength;
  History main = mMainHistory;
  History tail = mTailHistory;
  double p = mGrainPosition;
  bool recordedNonFinite = false;
  for (int i = 0; i < n; ++i)
  {
    if (mFrameCounter < span)
    {
      StoredSample& stored = mBuffer[mFrameCounter];
      stored.left = static_cast<float>(inLeft[i]);
      stored.right = static_cast<float>(inRight[i]);
      recordedNonFinite |= !std::isfinite(stored.left) || !std::isfinite(stored.right);
      mRecordedExtent = std::max(mRecordedExtent, mFrameCounter + 1);
    }
    if (p < overlap && p < 1.0)
      tail = main;
    follow(p, main);
    if (p < overlap)
      follow(length + p, tail);
    p += 1.0;
    if (p >= length)
      p -= length;
    ++mFrameCounter;
  }
  mMainHistory = main;
  mTailHistory = tail;
  mGrainPosition = p;
  if (recordedNonFinite)
    mMayHoldNonFinite = true;
}

// The grain position n samples on: what n steps of one sample (add 1, and the grain length off
// once it is reached) leave. grainStart: one of the n positions stepped from lies below 1.
double GrainBox::positionAfter(double p, int n, bool& grainStart) const
{
  const double length = mGrainLength;
  if (p >= 0.0 && p < length && p == std::trunc(p) && length == std::trunc(length))
  {
    // Whole numbers (the integer grain modes): every step up to the wrap is exact, and the wrap
    // lands on 0, so the steps are taken at once.
    grainStart = n > 0 && p == 0.0;
    while (n > 0)
    {
      const double untilWrap = length - p;
      if (n < untilWrap)
        return p + n;
      n -= static_cast<int>(untilWrap);
      p = 0.0;
      grainStart = grainStart || n > 0;
    }
    return p;
  }
  grainStart = false;
  for (; n > 0; --n)
  {
    grainStart = grainStart || p < 1.0;
    p += 1.0;
    if (p >= length)
      p -= length;
  }
  return p;
}

void GrainBox::steps(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  for (int i = 0; i < n; ++i)
  {
    const Pair out = step(Pair{inLeft[i], inRight[i]});
    outLeft[i] = out[0];
    outRight[i] = out[1];
  }
}

// n samples inside one frame (n ≤ kPass, the frame does not end before them). The positions of
// both readers and of the frame depend only on the counters, never on the audio, so they are
// worked out first and the envelopes' powers are taken for the whole pass at once. Then the audio:
// recording and reads in the documented order, sample by sample, and the arithmetic on what was
// read across the whole pass.
void GrainBox::run(const double* inLeft, const double* inRight, double* outLeft, double* outRight, int n)
{
  static_assert(kPass <= kOnesLength);
  if (n <= 0)
    return;
  const double length = mGrainLength;
  const double span = mGrainSpan;
  const double overlap = mOverlapLength;

  // Main reader positions; whether they all lie in the recorded stretch (they do unless the lengths
  // were changed without a frame start: then the pass goes sample by sample); runs of positions
  // whose floors follow one another (read as one stretch of the buffer).
  Pass pass;
  bool regular = true;
  int lastIndex = -2;
  double p = mGrainPosition;
  for (int i = 0; i < n;)
  {
    if (p >= 0.0 && p < span)
    {
      const int index = static_cast<int>(p);
      if (index != lastIndex + 1)
      {
        pass.runStart[pass.runs] = i;
        pass.runIndex[pass.runs++] = index;
      }
      lastIndex = index;
    }
    else
    {
      regular = false;
      break;
    }
    pass.position[i++] = p;
    // Shortcut: adding 1 to a position of 1 or more is exact until the sum reaches the next
    // power of two, so below that and below the wrap the next positions are p + 1, p + 2, …
    // (all in the recorded stretch, as they stay below the grain length).
    if (p >= 1.0 && p < length && i < n)
    {
      // p's exponent bits alone: the power of two at or below p. A whole p (the integer modes)
      // stays exact up to the wrap.
      const double below = std::bit_cast<double>(std::bit_cast<std::uint64_t>(p) & 0xFFF0000000000000ull);
      const double bound = p == std::trunc(p) ? length : std::min(length, 2.0 * below);
      const double gap = bound - p; // exact: the two lie within a factor of 2, or are whole
      int steps = static_cast<int>(gap);
      if (steps == gap)
        --steps; // p + k < bound for k < gap
      steps = std::min(n - i, steps);
      for (int k = 1; k <= steps; ++k)
        pass.position[i + k - 1] = p + k;
      i += steps;
      p += steps;
      lastIndex += steps; // the floors of p + 1, p + 2, …
    }
    // The fractional remainder carries over, so fractional grains repeat at the exact period on average.
    double next = p + 1.0;
    if (next >= length)
      next -= length;
    p = next;
  }
  if (!regular)
  {
    steps(inLeft, inRight, outLeft, outRight, n);
    return;
  }
  mGrainPosition = p;
  pass.frameStart = mFrameCounter;

  // The tail reader over the cross-fade samples: its positions, for each one that has a tail; the
  // runs it reads in (consecutive samples, each run beginning a new grain or carrying on), with
  // the grain starts where it takes over the main reader's history; whether a read lies ahead of
  // the recording (beyond the frame counter of its sample).
  if (overlap > 0.0)
  {
    pass.runStart[pass.runs] = n;
    int tails = 0;
    bool readsAhead = false;
    int previous = -2; // the last sample with a tail read
    const double firstAfterRecording = mFrameCounter + 1.0; // the frame counter of sample 0, plus 1
    const auto tailAt = [&](int i) {
      const double at = pass.position[i];
      if (!(at < overlap))
        return false;
      const bool grainStart = at < 1.0;
      const double q = length + at;
      const bool reads = q < span;
      if (grainStart || (reads && i != previous + 1))
      {
        pass.crossFadeStart[pass.crossFades] = i;
        pass.crossFadeLength[pass.crossFades] = 0;
        pass.crossFadeCopies[pass.crossFades++] = grainStart;
      }
      if (reads)
      {
        pass.tailPosition[tails++] = q;
        ++pass.crossFadeLength[pass.crossFades - 1];
        readsAhead |= q >= firstAfterRecording + i;
        previous = i;
      }
      return true;
    };
    // Positions rise within a run: the cross-fade samples are where each run begins.
    for (int r = 0; r < pass.runs; ++r)
    {
      int i = pass.runStart[r];
      while (i < pass.runStart[r + 1] && tailAt(i))
        ++i;
    }
    pass.tails = tails;
    pass.readsAhead = readsAhead;
  }

  // The main reads first: their stores settle while the envelopes are worked out.
  readMain(pass, inLeft, inRight, n);
  evaluateEnvelopes(pass, n);
  readTails(pass, n);
  const double* head = pass.grainShaped ? pass.grainEnvelope : nullptr;
  const Runs crossFades{pass.crossFadeStart, pass.crossFadeLength, pass.crossFades};
  const double* frame = pass.frameShaped ? pass.frame : nullptr;
  const Channels channels{{pass.fetchedLeft + 1, pass.fetchedRight + 1}, {pass.tailLeft, pass.tailRight},
                          {outLeft, outRight}};
  shapeChannels(channels, pass.position, mFrequencyMode, head, pass.fade, crossFades, frame, n);
}

// An envelope whose fades are off (or unused at this skew) is 1 everywhere: multiplying by it
// changes nothing, so it is neither evaluated nor applied.
void GrainBox::evaluateEnvelopes(Pass& pass, int n) const
{
  pass.grainShaped = !mGrainCurve.isFlat(mGrainSkew);
  pass.frameShaped = !mFrameCurve.isFlat(mFrameSkew);
  if (pass.grainShaped)
  {
    // Whole positions (the integer grain modes: a whole length, and whole positions from the start
    // of the grain) come back in every grain: their values are in the shared table.
    const bool whole = mGrainLength == std::trunc(mGrainLength) && pass.position[0] == std::trunc(pass.position[0]);
    const double* table = whole && mGrainTable ? mGrainTable->values(mGrainCurve, mGrainSkew, mGrainSpan) : nullptr;
    if (table)
    {
      for (int i = 0; i < n; ++i)
        pass.grainEnvelope[i] = table[static_cast<int>(pass.position[i])];
      for (int i = 0; i < pass.tails; ++i)
        pass.grainEnvelope[n + i] = table[static_cast<int>(pass.tailPosition[i])];
    }
    else
    {
      divide(pass.position, mGrainSpan, pass.grainAt, n);
      divide(pass.tailPosition, mGrainSpan, pass.grainAt + n, pass.tails);
      mGrainCurve.values(pass.grainAt, pass.grainEnvelope, n + pass.tails, mGrainSkew);
    }
  }
  // The frame counter runs through whole positions in every frame.
  const double* frameTable =
    pass.frameShaped && mFrameTable ? mFrameTable->values(mFrameCurve, mFrameSkew, mFrameLength) : nullptr;
  if (frameTable)
  {
    pass.frame = frameTable + pass.frameStart;
  }
  else if (pass.frameShaped)
  {
    alignas(64) double frameAt[kPass];
    for (int i = 0; i < n; ++i)
      frameAt[i] = static_cast<double>(pass.frameStart + i);
    divide(frameAt, static_cast<double>(mFrameLength), frameAt, n);
    mFrameCurve.values(frameAt, pass.frameEnvelope, n, mFrameSkew);
    pass.frame = pass.frameEnvelope;
  }
}

// Records the pass and makes the main reader's reads as the samples would: its values go to
// pass.fetched (after the four its history held). Only for passes whose main reads all lie in the
// recorded stretch.
void GrainBox::readMain(Pass& pass, const double* inLeft, const double* inRight, int n)
{
  for (int k = 0; k < 4; ++k)
  {
    pass.fetchedLeft[k] = mMainHistory.y[k][0];
    pass.fetchedRight[k] = mMainHistory.y[k][1];
  }
  // A frame records its first mGrainSpan input samples (all of them, if the frame is shorter):
  // here the first `recorded` of the pass. (span ≤ buffer size, an int.)
  pass.recorded = std::clamp(static_cast<int>(std::ceil(mGrainSpan)) - mFrameCounter, 0, n);
  // The tail reader may read ahead of the recording, where the previous frame's samples still
  // are until this pass records over them: keep those.
  if (pass.readsAhead)
    std::copy(mBuffer.get() + pass.frameStart, mBuffer.get() + pass.frameStart + pass.recorded, pass.before);
  storeInput(inLeft, inRight, pass.recorded);
  mFrameCounter += n - pass.recorded; // storeInput counted the recorded ones

  // The main reader reads at or below the frame counter, never ahead: after the recording it
  // gets what it got sample by sample.
  pass.runStart[pass.runs] = n;
  for (int r = 0; r < pass.runs; ++r)
  {
    const int first = pass.runStart[r];
    readStretch(mBuffer.get() + pass.runIndex[r], pass.fetchedLeft + 4 + first, pass.fetchedRight + 4 + first,
                pass.runStart[r + 1] - first);
  }
}

// The tail reader's reads as the samples would make them, after readMain: the cross-fade's tail
// share (the previous grain's continuation, already faded) goes to pass.tail.
void GrainBox::readTails(Pass& pass, int n)
{
  const bool interpolate = mFrequencyMode;
  const int start = pass.frameStart;
  const int recorded = pass.recorded;
  // The main reader's history just before its i-th read: the last four values it read (it reads
  // every sample), or, without interpolation, the history as it was (reads do not touch it then).
  auto mainHistoryAt = [&](int i) {
    const int first = interpolate ? i : 0;
    History h;
    for (int k = 0; k < 4; ++k)
      h.y[k] = Pair{pass.fetchedLeft[first + k], pass.fetchedRight[first + k]};
    return h;
  };

  // Within a run the tail reader reads one value per sample after the four its history holds,
  // like the main reader, so a run's values are read in order first and its arithmetic is done
  // across the run. At a grain start it carries on from where the main reader stopped.
  History tail = mTailHistory;
  int tailIndex = 0; // into the tail envelopes, pass.grainEnvelope + n
  for (int r = 0; r < pass.crossFades; ++r)
  {
    const int i = pass.crossFadeStart[r];
    const int m = pass.crossFadeLength[r];
    if (pass.crossFadeCopies[r])
      tail = mainHistoryAt(i);
    if (m == 0)
      continue;
    // Linear cross-fade from the previous grain's continuation (buffer mGrainLength … mGrainSpan)
    // into the new grain. The tail positions lie in the recorded stretch (q < span ≤ buffer).
    alignas(64) double windowLeft[kPass + 4];
    alignas(64) double windowRight[kPass + 4];
    alignas(64) double fraction[kPass];
    for (int k = 0; k < 4; ++k)
    {
      windowLeft[k] = tail.y[k][0];
      windowRight[k] = tail.y[k][1];
    }
    for (int j = 0; j < m; ++j)
    {
      const double q = pass.tailPosition[tailIndex + j];
      const int k = static_cast<int>(q);
      const int ahead = k - start; // recorded at sample `ahead` of this pass, if 0 ≤ ahead < recorded
      const StoredSample& stored = ahead > i + j && ahead < recorded ? pass.before[ahead] : mBuffer[k];
      windowLeft[4 + j] = stored.left;
      windowRight[4 + j] = stored.right;
      fraction[j] = q - k;
      pass.fade[i + j] = pass.position[i + j] * mOverlapStep;
    }
    const Channels channels{{windowLeft + 1, windowRight + 1}, {nullptr, nullptr},
                            {pass.tailLeft + i, pass.tailRight + i}};
    fadeOutTails(channels, fraction, interpolate, pass.fade + i,
                 pass.grainShaped ? pass.grainEnvelope + n + tailIndex : nullptr, m);
    if (interpolate)
      for (int k = 0; k < 4; ++k)
        tail.y[k] = Pair{windowLeft[m + k], windowRight[m + k]};
    tailIndex += m;
  }
  mTailHistory = tail;
  if (interpolate)
    mMainHistory = mainHistoryAt(n);
}

// Records `count` input samples from the frame counter on and counts them.
void GrainBox::storeInput(const double* inLeft, const double* inRight, int count)
{
  StoredSample* const to = mBuffer.get() + mFrameCounter;
  for (int i = 0; i < count; ++i)
  {
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

// One sample on its own, in the order the steps are written down: for passes of a few samples
// and for passes whose reads leave the recorded stretch. The envelopes come from the same tables
// and the same block evaluation (of one or two positions) as in a pass, and every product is
// formed in the same order, so the numbers are the block loop's to the bit.
GrainBox::Pair GrainBox::step(Pair in)
{
  const double length = mGrainLength;
  const double span = mGrainSpan;
  if (mFrameCounter < span)
  {
    StoredSample& stored = mBuffer[mFrameCounter];
    stored.left = static_cast<float>(in[0]);
    stored.right = static_cast<float>(in[1]);
    if (!std::isfinite(stored.left) || !std::isfinite(stored.right))
      mMayHoldNonFinite = true;
    mRecordedExtent = std::max(mRecordedExtent, mFrameCounter + 1);
  }

  const double p = mGrainPosition;
  const double q = length + p; // the tail reader, during the grain cross-fade
  const bool crossFade = p < mOverlapLength;
  if (crossFade && p < 1.0)
    mTailHistory = mMainHistory;

  const bool tail = crossFade && q < span;
  // The envelopes at p and q and the frame's; multiplying by a flat envelope's 1 changes nothing.
  double grain[2] = {1.0, 1.0};
  double frame = 1.0;
  if (!mGrainCurve.isFlat(mGrainSkew) || !mFrameCurve.isFlat(mFrameSkew))
    envelopesAt(p, q, tail, grain, frame);
  Pair out = fetch(p, mMainHistory) * grain[0];
  if (tail)
  {
    const double f = p * mOverlapStep;
    out = out * f + ((1.0 - f) * fetch(q, mTailHistory)) * grain[1];
  }
  out = out * frame;

  double next = p + 1.0;
  if (next >= length)
    next -= length;
  mGrainPosition = next;
  ++mFrameCounter;
  return out;
}

// The envelopes of this sample: the grain envelope at the main reader's p and the tail reader's q
// (when it reads) and the frame envelope, from the values worked out ahead while the counters
// follow them (a grain restart moves the position, a frame start empties them).
void GrainBox::envelopesAt(double p, double q, bool tail, double* grain, double& frame)
{
  int k = mFrameCounter - mAhead.frameStart;
  if (!(k >= 0 && k < mAhead.count && mAhead.position[k] == p && mAhead.grainSkew == mGrainSkew &&
        mAhead.frameSkew == mFrameSkew))
  {
    lookAhead();
    k = 0;
    if (mAhead.count == 0)
    {
      // A position outside the recorded stretch: this sample alone.
      if (!mGrainCurve.isFlat(mGrainSkew))
        grainEnvelopeAt(p, q, tail, grain);
      if (!mFrameCurve.isFlat(mFrameSkew))
        frame = frameEnvelopeAt(mFrameCounter);
      return;
    }
  }
  grain[0] = mAhead.grain[k];
  grain[1] = mAhead.tail[k];
  frame = mAhead.frame[k];
}

// Works out the envelopes of the next samples as a pass would (the same positions, tables and
// block evaluation, so the same values), for as long as the counters run on undisturbed: at most
// kAhead samples, up to the frame's end or a position outside the recorded stretch.
void GrainBox::lookAhead()
{
  Pass pass;
  const double length = mGrainLength;
  const double span = mGrainSpan;
  const double overlap = mOverlapLength;
  const int n = std::min(kAhead, mFrameLength - mFrameCounter);
  bool reads[kAhead]; // the tail reader reads at this sample
  int count = 0;
  int tails = 0;
  for (double p = mGrainPosition; count < n && p >= 0.0 && p < span; ++count)
  {
    pass.position[count] = p;
    const double q = length + p;
    reads[count] = p < overlap && q < span;
    if (reads[count])
      pass.tailPosition[tails++] = q;
    p += 1.0;
    if (p >= length)
      p -= length;
  }
  pass.tails = tails;
  pass.frameStart = mFrameCounter;
  evaluateEnvelopes(pass, count);

  mAhead.count = count;
  mAhead.frameStart = mFrameCounter;
  mAhead.grainSkew = mGrainSkew;
  mAhead.frameSkew = mFrameSkew;
  int tail = 0;
  for (int k = 0; k < count; ++k)
  {
    mAhead.position[k] = pass.position[k];
    mAhead.grain[k] = pass.grainShaped ? pass.grainEnvelope[k] : 1.0;
    mAhead.tail[k] = pass.grainShaped && reads[k] ? pass.grainEnvelope[count + tail++] : 1.0;
    mAhead.frame[k] = pass.frameShaped ? pass.frame[k] : 1.0;
  }
}

// The grain envelope at the main reader's position p (value[0]) and, with `tail`, at the tail
// reader's q (value[1]), as a pass gets them: from the shared table at whole positions in the
// recorded stretch, else worked out.
void GrainBox::grainEnvelopeAt(double p, double q, bool tail, double* value) const
{
  const bool whole = mGrainLength == std::trunc(mGrainLength) && p == std::trunc(p) && p < mGrainSpan;
  const double* table = whole && mGrainTable ? mGrainTable->values(mGrainCurve, mGrainSkew, mGrainSpan) : nullptr;
  if (table)
  {
    value[0] = table[static_cast<int>(p)];
    if (tail)
      value[1] = table[static_cast<int>(q)];
    return;
  }
  const double at[2] = {p / mGrainSpan, q / mGrainSpan};
  mGrainCurve.values(at, value, tail ? 2 : 1, mGrainSkew);
}

// The frame envelope at a frame counter inside the frame, as a pass gets it.
double GrainBox::frameEnvelopeAt(int counter) const
{
  if (const double* table = mFrameTable ? mFrameTable->values(mFrameCurve, mFrameSkew, mFrameLength) : nullptr)
    return table[counter];
  const double at = static_cast<double>(counter) / static_cast<double>(mFrameLength);
  double value = 1.0;
  mFrameCurve.values(&at, &value, 1, mFrameSkew);
  return value;
}
