// SPDX-License-Identifier: ISC
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/quennet.h"
#include "dsp/VectorClones.h"

namespace quennet {

namespace {
// Twelve-tone equal temperament, note 69 at 440 Hz, in hertz.
constexpr double Note2Hz[128] = {
  8.176,    8.662,    9.177,    9.723,    10.301,   10.913,   11.562,   12.250, // 0-7
  12.978,   13.750,   14.568,   15.434,   16.352,   17.324,   18.354,   19.445, // 8-15
  20.602,   21.827,   23.125,   24.500,   25.957,   27.500,   29.135,   30.868, // 16-23
  32.703,   34.648,   36.708,   38.891,   41.203,   43.654,   46.249,   48.999, // 24-31
  51.913,   55.000,   58.270,   61.735,   65.406,   69.296,   73.416,   77.782, // 32-39
  82.407,   87.307,   92.499,   97.999,   103.826,  110.000,  116.541,  123.471, // 40-47
  130.813,  138.591,  146.832,  155.563,  164.814,  174.614,  184.997,  195.998, // 48-55
  207.652,  220.000,  233.082,  246.942,  261.626,  277.183,  293.665,  311.127, // 56-63
  329.628,  349.228,  369.994,  391.995,  415.305,  440.000,  466.164,  493.883, // 64-71
  523.251,  554.365,  587.330,  622.254,  659.255,  698.456,  739.989,  783.991, // 72-79
  830.609,  880.000,  932.328,  987.767,  1046.502, 1108.731, 1174.659, 1244.508, // 80-87
  1318.510, 1396.913, 1479.978, 1567.982, 1661.219, 1760.000, 1864.655, 1975.533, // 88-95
  2093.005, 2217.461, 2349.318, 2489.016, 2637.020, 2793.826, 2959.955, 3135.963, // 96-103
  3322.438, 3520.000, 3729.310, 3951.066, 4186.009, 4434.922, 4698.636, 4978.032, // 104-111
  5274.041, 5587.652, 5919.911, 6271.927, 6644.875, 7040.000, 7458.620, 7902.133, // 112-119
  8372.018, 8869.844, 9397.273, 9956.063, 10548.08, 11175.3,  11839.82, 12543.85, // 120-127
};

// The recordings that notes may reach are kept in memory from the lowest note on (quennet.cpp).
static_assert(Note2Hz[0] == Quennet::kLowestNoteHz);

// Synced lengths outside 1 ... this many samples (a tempo near 0) skip the sync for a block.
constexpr double kMaxSyncSamples = static_cast<double>(std::numeric_limits<std::int32_t>::max());

// Passes of at most this many frames do their few steps directly, without the vector units'
// set-up (hosts that call with a frame or two, blocks split at MIDI events).
constexpr int kFewFrames = 4;

// Both channels side by side in one vector register: left and right take the same steps at once,
// each in its own lane, so each lane's numbers are the ones of that channel alone.
using Pair = double __attribute__((vector_size(16)));

// Each lane: whether it holds a finite value (x - x is 0 exactly then).
inline bool bothFinite(Pair x)
{
  const Pair zero = x - x;
  return zero[0] == 0.0 && zero[1] == 0.0;
}

bool memoriesFinite(const StereoHighpass& h)
{
  return bothFinite(h.x1) && bothFinite(h.x2) && bothFinite(h.y1) && bothFinite(h.y2);
}

// A non-finite wet sample (a NaN or an infinity recorded from the input) becomes silence;
// otherwise it carries this sample's offset.
inline Pair sanitise(const StereoHighpass& h, Pair wet)
{
  const Pair zero = wet - wet;
  return zero == 0.0 ? wet + h.antiDenormal : Pair{0.0, 0.0};
}

// One sample through both channels' high-pass; `x` already carries this sample's offset. With
// kCheckMemories a NaN or an infinity in a memory is dropped when read, so one bad sample cannot
// poison the recursion; while the memories are finite the checks change nothing.
template <bool kCheckMemories>
inline Pair highpass(StereoHighpass& h, Pair x)
{
  const Pair d = h.antiDenormal;
  const auto read = [&](Pair memory) {
    if constexpr (kCheckMemories) {
      const Pair zero = memory - memory;
      return zero == 0.0 ? memory + d : Pair{0.0, 0.0};
    } else {
      return memory + d;
    }
  };
  const Pair m1 = read(h.x1);
  const Pair m2 = read(h.x2);
  const Pair n1 = read(h.y1);
  const Pair n2 = read(h.y2);
  h.antiDenormal = -d;
  const Pair y = ((h.gain0 * (m2 + x) + h.gain1 * m1) + h.feedback1 * n1) + h.feedback2 * n2;
  h.x2 = m1;
  h.x1 = x;
  h.y2 = n1;
  h.y1 = y;
  return y;
}

// The output: the filtered wet signal mixed with the dry input under the volume.
inline Pair mixOutput(Pair y, Pair dry, double mix, double volume)
{
  return ((y - dry) * mix + dry) * volume;
}

// Whether every input value is one that the grain boxes record as a finite float.
inline bool recordsFiniteFew(const double* __restrict left, const double* __restrict right, int n)
{
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  int nonFinite = 0;
  for (int i = 0; i < n; ++i)
    nonFinite |= !(std::fabs(left[i]) <= kFloatMax) + !(std::fabs(right[i]) <= kFloatMax);
  return !nonFinite;
}

// The same compiled per vector unit (VectorClones.h), like the loops below, for long passes.
QUENNET_VECTOR_CLONES bool recordsFinite(const double* left, const double* right, int n)
{
  return recordsFiniteFew(left, right, n);
}

// wet[i] += level[i] · voice[i], both channels.
inline void addWeighted(double* __restrict wetL, double* __restrict wetR, const double* __restrict level,
                        const double* __restrict voiceL, const double* __restrict voiceR, int n)
{
  for (int i = 0; i < n; ++i) {
    wetL[i] += level[i] * voiceL[i];
    wetR[i] += level[i] * voiceR[i];
  }
}

// The same loop compiled per vector unit, for long passes; the same numbers.
QUENNET_VECTOR_CLONES void addWeightedWide(double* wetL, double* wetR, const double* level, const double* voiceL,
                                           const double* voiceR, int n)
{
  addWeighted(wetL, wetR, level, voiceL, voiceR, n);
}
} // namespace

void Quennet::syncToHostTempo()
{
  const plug::ITransportInfo& transport = GetTransportInfo();
  const double tempo = transport.mTempo;
  if (!(tempo > 0.0) || !std::isfinite(tempo) || !(mSampleRate > 0.0))
    return;

  const double beatSamples = mSampleRate * 60.0 / tempo;
  const double grainSamples =
    ppqScaler[static_cast<size_t>(mGrainSyncIndex.load(std::memory_order_relaxed))] * beatSamples;
  const double frameSamples =
    beatSamples * ppqScaler[static_cast<size_t>(mFrameSyncIndex.load(std::memory_order_relaxed))];
  // Below one sample the counters would divide by zero; far above, the lengths do not fit the voices.
  if (!(grainSamples >= 1.0 && grainSamples <= kMaxSyncSamples && frameSamples >= 1.0 &&
        frameSamples <= kMaxSyncSamples))
    return;

  mGrainSyncSamples = static_cast<std::int64_t>(grainSamples);
  mFrameSyncSamples = static_cast<std::int64_t>(frameSamples);

  // A position that is missing, not finite or out of range counts as no position (-1).
  const double samplePos = std::floor(transport.mSamplePos);
  const std::int64_t position =
    std::isfinite(samplePos) && std::fabs(samplePos) < 0x1p62 ? static_cast<std::int64_t>(samplePos) : -1;
  mGrainSyncCounter = position % mGrainSyncSamples;
  mFrameSyncCounter = position % mFrameSyncSamples;

  if (mGrainSyncMode.load(std::memory_order_relaxed))
    mVoices[0].setGrainLengthSync(static_cast<int>(mGrainSyncSamples));
  if (mFrameSyncToHost.load(std::memory_order_relaxed))
    forEachVoice([&](GrainSet& v) { v.setFrameLengthSync(static_cast<int>(mFrameSyncSamples)); });
}

int Quennet::advanceTempoSync(bool grainSync, bool frameSync, int wanted)
{
  // The restarts due at this sample: each counter counts the sample before it is processed, and
  // restarts fire only once a valid length is known.
  if (grainSync && ++mGrainSyncCounter >= mGrainSyncSamples && mGrainSyncSamples >= 1) {
    mVoices[0].resetGrain();
    mGrainSyncCounter = 0;
  }
  if (frameSync && ++mFrameSyncCounter >= mFrameSyncSamples && mFrameSyncSamples >= 1) {
    forEachVoice([](GrainSet& v) { v.resetFrame(); });
    mFrameSyncCounter = 0;
  }

  // This sample and the ones after it that restart nothing: a counter at c restarts again after
  // length - c more samples.
  std::int64_t n = wanted;
  if (grainSync && mGrainSyncSamples >= 1)
    n = std::min(n, mGrainSyncSamples - mGrainSyncCounter);
  if (frameSync && mFrameSyncSamples >= 1)
    n = std::min(n, mFrameSyncSamples - mFrameSyncCounter);
  if (grainSync)
    mGrainSyncCounter += n - 1;
  if (frameSync)
    mFrameSyncCounter += n - 1;
  return static_cast<int>(n);
}

void Quennet::renderVoices(const double* inL, const double* inR, double* wetL, double* wetR, int n, bool midiMode,
                           int polyphony)
{
  if (!midiMode) {
    mVoices[0].process(inL, inR, wetL, wetR, n);
    return;
  }

  // The sum of the voices weighted by their envelope levels, each level the one before that
  // sample's update; voice by voice, which adds in the same order as sample by sample.
  std::fill(wetL, wetL + n, 0.0);
  std::fill(wetR, wetR + n, 0.0);
  const bool inputFinite = n > kFewFrames ? recordsFinite(inL, inR, n) : recordsFiniteFew(inL, inR, n);
  // Filled for the sounding voices only; the rest stays null, never read.
  int sounding[kNumVoices] = {};
  ADSR* envelopes[kNumVoices] = {};
  double* levels[kNumVoices] = {};
  int count = 0;
  for (int v = 0; v < polyphony; ++v) {
    GrainSet& voice = mVoices[static_cast<size_t>(v)];
    ADSR& envelope = mEnvelopes[static_cast<size_t>(v)];
    if (envelope.mStage == ADSR::kStageIdle && envelope.mLevel == 0.0 && inputFinite && voice.holdsOnlyFinite()) {
      // An idle voice weighs 0 times a finite output, which adds nothing (a sum of zeros stays
      // +0): it only records, for its next note. Its envelope does not move while idle.
      voice.record(inL, inR, n);
      continue;
    }
    sounding[count] = v;
    envelopes[count] = &envelope;
    levels[count] = mScratch->levels[count];
    ++count;
  }
  ADSR::render(envelopes, levels, count, n);
  double* const voiceL = mScratch->voiceLeft;
  double* const voiceR = mScratch->voiceRight;
  for (int k = 0; k < count; ++k) {
    mVoices[static_cast<size_t>(sounding[k])].process(inL, inR, voiceL, voiceR, n);
    if (n > kFewFrames)
      addWeightedWide(wetL, wetR, levels[k], voiceL, voiceR, n);
    else
      addWeighted(wetL, wetR, levels[k], voiceL, voiceR, n);
  }
}

void Quennet::renderOutput(const double* inL, const double* inR, const double* wetL, const double* wetR, double* outL,
                           double* outR, int n, double mix, double volume)
{
  // A copy in registers: the output arrays could otherwise alias the records for all the compiler
  // knows, and every sample would go through memory.
  StereoHighpass filter = mHighpass;
  // Samples start to end through the filter: the same steps for every pass length, with or without
  // the memory checks. Both inputs of a sample are read before either output is written: the
  // arrays may be shared, even crossed.
  const auto run = [&](auto checkMemories, int start, int end, const Pair* dry) {
    Pair finite = {0.0, 0.0};
    for (int i = start; i < end; ++i) {
      const Pair in = dry ? dry[i - start] : Pair{inL[i], inR[i]};
      const Pair y = highpass<decltype(checkMemories)::value>(filter, sanitise(filter, Pair{wetL[i], wetR[i]}));
      finite = finite + (y - y);
      const Pair out = mixOutput(y, in, mix, volume);
      outL[i] = out[0];
      outR[i] = out[1];
    }
    return bothFinite(finite);
  };
  // A stretch of samples at a time without the memory checks, which change nothing while the
  // memories are finite; they stay finite as long as every output is (the inputs are sanitised).
  // Should an output not be, the stretch is done again from its start with the checks, and so is
  // everything after it. Passes of a few samples take the checks throughout.
  constexpr int kStretch = 16;
  int start = 0;
  if (n >= kStretch && memoriesFinite(filter)) {
    // A stretch done twice reads its dry input twice: when an output array is an input array, the
    // input is kept before the outputs overwrite it.
    const auto overlaps = [n](const double* out, const double* in) {
      const auto o = reinterpret_cast<std::uintptr_t>(out);
      const auto i = reinterpret_cast<std::uintptr_t>(in);
      const auto bytes = static_cast<std::uintptr_t>(n) * sizeof(double);
      return o < i + bytes && i < o + bytes;
    };
    const bool shared = overlaps(outL, inL) || overlaps(outL, inR) || overlaps(outR, inL) || overlaps(outR, inR);
    for (; start < n; start += kStretch) {
      const int end = std::min(n, start + kStretch);
      const StereoHighpass before = filter;
      Pair dry[kStretch];
      if (shared)
        for (int i = start; i < end; ++i)
          dry[i - start] = Pair{inL[i], inR[i]};
      if (run(std::false_type{}, start, end, shared ? dry : nullptr))
        continue;
      filter = before;
      run(std::true_type{}, start, end, shared ? dry : nullptr);
      start = end;
      break;
    }
  }
  run(std::true_type{}, start, n, nullptr);
  mHighpass = filter;
}

void Quennet::ProcessBlock(double** inputs, double** outputs, int nFrames)
{
  if (nFrames <= 0)
    return;

  const bool grainSync = mGrainSyncMode.load(std::memory_order_relaxed);
  const bool frameSync = mFrameSyncToHost.load(std::memory_order_relaxed);
  if (grainSync || frameSync)
    syncToHostTempo();

  const bool midiMode = mMidiMode.load(std::memory_order_relaxed);
  const int polyphony = std::min(mPolyphony.load(std::memory_order_relaxed), kNumVoices);
  const double mix = mMix.load(std::memory_order_relaxed);
  const double volume = mVolume.load(std::memory_order_relaxed);

  // A pass at a time: the voices between tempo-sync restarts, then the output stage. Nothing in
  // the engine changes within a block except through the restarts, so this gives the samples of
  // the per-sample order, whatever the block size (a block of one frame is a pass of one).
  for (int start = 0; start < nFrames; start += kPass) {
    const int n = std::min(kPass, nFrames - start);
    const double* inL = inputs[0] + start;
    const double* inR = inputs[1] + start;
    double* const wetL = mScratch->wetLeft;
    double* const wetR = mScratch->wetRight;
    for (int i = 0; i < n;) {
      const int run = grainSync || frameSync ? advanceTempoSync(grainSync, frameSync, n - i) : n - i;
      renderVoices(inL + i, inR + i, wetL + i, wetR + i, run, midiMode, polyphony);
      i += run;
    }
    renderOutput(inL, inR, wetL, wetR, outputs[0] + start, outputs[1] + start, n, mix, volume);
  }
}

void Quennet::ProcessMidiMsg(const plug::IMidiMsg& msg)
{
  SendMidiMsg(msg); // MIDI through

  switch (msg.StatusMsg()) {
    case plug::IMidiMsg::kNoteOff: setNoteOff(msg.NoteNumber()); break;
    case plug::IMidiMsg::kNoteOn:
      if (msg.Velocity() == 0)
        setNoteOff(msg.NoteNumber());
      else
        setNoteOn(msg.NoteNumber(), msg.Velocity());
      break;
    case plug::IMidiMsg::kControlChange: {
      const int controller = msg.ControlChangeIdx();
      if (controller < MidiLearnConfig::kNumControllers) {
        if (mLearn.learnActive()) {
          mLearn.setMidiLearnCC(controller); // may complete the learn and write the file
          break;
        }
        const int paramIdx = mLearn.controllerParam(controller);
        if (paramIdx < 0 || paramIdx >= kNumParams)
          break;
        const double value = msg.ControlChange();
        if (GetParam(paramIdx)->GetNormalized() == value)
          break;
        // The editor follows through the timer, which shows the parameter's value at its tick: the
        // value is stored first, so that a tick between the two calls cannot show the old one.
        SetParameterValue(paramIdx, value);
        SendParameterValueFromDelegate(paramIdx, value, true);
      } else if (controller == 120 || controller == 123) {
        allNotesOff();
      }
      break;
    }
    default: break;
  }
}

void Quennet::setNoteOn(int note, int /*velocity*/)
{
  if (note < 0 || note > 127 || !mMidiMode.load(std::memory_order_relaxed))
    return;

  double frequency = Note2Hz[note];
  if (MTS_HasMaster(mTuningClient)) {
    // A tuning source decides which notes exist and where they lie; -1: no channel.
    if (MTS_ShouldFilterNote(mTuningClient, static_cast<signed char>(note), -1))
      return;
    frequency = MTS_NoteToFrequency(mTuningClient, static_cast<signed char>(note), -1);
  }

  const int polyphony = std::min(mPolyphony.load(std::memory_order_relaxed), kNumVoices);
  int voice = -1;
  for (int v = 0; v < polyphony && voice < 0; ++v)
    if (mVoiceNote[static_cast<size_t>(v)] == note)
      voice = v;
  for (int v = 0; v < polyphony && voice < 0; ++v)
    if (mEnvelopes[static_cast<size_t>(v)].mStage == ADSR::kStageIdle)
      voice = v;
  if (voice < 0 && polyphony > 0) {
    voice = 0;
    for (int v = 1; v < polyphony; ++v)
      if (mVoiceAge[static_cast<size_t>(v)] < mVoiceAge[static_cast<size_t>(voice)])
        voice = v;
  }
  if (voice < 0)
    voice = 0;

  ++mNoteCounter;
  mNoteActive.store(true, std::memory_order_relaxed);

  GrainSet& grains = mVoices[static_cast<size_t>(voice)];
  grains.setGrainFrequency(frequency, true);
  grains.resetFrame();
  grains.resetGrain();
  mEnvelopes[static_cast<size_t>(voice)].start();
  mVoiceNote[static_cast<size_t>(voice)] = note;
  mVoiceAge[static_cast<size_t>(voice)] = mNoteCounter;
}

void Quennet::setNoteOff(int note)
{
  bool active = false;
  const int polyphony = std::min(mPolyphony.load(std::memory_order_relaxed), kNumVoices);
  for (int v = 0; v < polyphony; ++v) {
    ADSR& envelope = mEnvelopes[static_cast<size_t>(v)];
    if (mVoiceNote[static_cast<size_t>(v)] == note)
      envelope.stop(false);
    else if (envelope.mStage != ADSR::kStageIdle)
      active = true;
  }
  mNoteActive.store(active, std::memory_order_relaxed);
}

void Quennet::allNotesOff()
{
  mNoteActive.store(false, std::memory_order_relaxed);
  for (int v = 0; v < kNumVoices; ++v) {
    mEnvelopes[static_cast<size_t>(v)].reset();
    mVoices[static_cast<size_t>(v)].resetFrame();
  }
}

} // namespace quennet
