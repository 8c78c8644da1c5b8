#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "core/quennet.h"
#include "dsp/VectorClones.h"

namespace {
// Twelve-tone equal temperament, note 69 at 440 Hz, in hertz.
constexpr double Note2Hz[128] = {
  8.176, 8.662, 9.177, 9.723, 10.301, 10.913, 11.562, 12.250,  // 0-7
  12.978, 13.750, 14.568, 15.434, 16.352, 17.324, 18.354, 19.445,  // 8-15
  20.602, 21.827, 23.125, 24.500, 25.957, 27.500, 29.135, 30.868,  // 16-23
  32.703, 34.648, 36.708, 38.891, 41.203, 43.654, 46.249, 48.999,  // 24-31
  51.913, 55.000, 58.270, 61.735, 65.406, 69.296, 73.416, 77.782,  // 32-39
  82.407, 87.307, 92.499, 97.999, 103.826, 110.000, 116.541, 123.471,  // 40-47
  130.813, 138.591, 146.832, 155.563, 164.814, 174.614, 184.997, 195.998,  // 48-55
  207.652, 220.000, 233.082, 246.942, 261.626, 277.183, 293.665, 311.127,  // 56-63
  329.628, 349.228, 369.994, 391.995, 415.305, 440.000, 466.164, 493.883,  // 64-71
  523.251, 554.365, 587.330, 622.254, 659.255, 698.456, 739.989, 783.991,  // 72-79
  830.609, 880.000, 932.328, 987.767, 1046.502, 1108.731, 1174.659, 1244.508,  // 80-87
  1318.510, 1396.913, 1479.978, 1567.982, 1661.219, 1760.000, 1864.655, 1975.533,  // 88-95
  2093.005, 2217.461, 2349.318, 2489.016, 2637.020, 2793.826, 2959.955, 3135.963,  // 96-103
  3322.438, 3520.000, 3729.310, 3951.066, 4186.009, 4434.922, 4698.636, 4978.032,  // 104-111
  5274.041, 5587.652, 5919.911, 6271.927, 6644.875, 7040.000, 7458.620, 7902.133,  // 112-119
  8372.018, 8869.844, 9397.273, 9956.063, 10548.08, 11175.3, 11839.82, 12543.85,  // 120-127
};

// Synced lengths outside 1 ... this many samples (a tempo near 0) skip the sync for a block.
constexpr double kMaxSyncSamples = static_cast<double>(std::numeric_limits<std::int32_t>::max());

// Frames per pass of the audio path: the wet signal of a pass waits in arrays of this size.
constexpr int kPass = 256;

// Blocks of at most this many frames go one frame at a time (some hosts call with a single frame).
constexpr int kFewFrames = 4;

// One sample through a channel's high-pass. `x` already carries this sample's offset.
inline double highpass(Highpass& h, double x)
{
  const double d = h.antiDenormal;
  // A NaN or an infinity in a memory is dropped when read, so one bad sample cannot poison the
  // recursion.
  const double x1 = std::isfinite(h.x1) ? h.x1 + d : 0.0;
  const double x2 = std::isfinite(h.x2) ? h.x2 + d : 0.0;
  const double y1 = std::isfinite(h.y1) ? h.y1 + d : 0.0;
  const double y2 = std::isfinite(h.y2) ? h.y2 + d : 0.0;
  h.antiDenormal = -d;
  const double y = ((h.gain0 * (x2 + x) + h.gain1 * x1) + h.feedback1 * y1) + h.feedback2 * y2;
  h.x2 = x1;
  h.x1 = x;
  h.y2 = y1;
  h.y1 = y;
  return y;
}

// Non-finite wet samples (a NaN or an infinity recorded from the input) become silence.
inline double sanitise(double wet, const Highpass& h)
{
  return std::isfinite(wet) ? wet + h.antiDenormal : 0.0;
}

bool memoriesFinite(const Highpass& h)
{
  return std::isfinite(h.x1) && std::isfinite(h.x2) && std::isfinite(h.y1) && std::isfinite(h.y2);
}

// The output stage for up to n samples: sanitise and high-pass both channels (the same steps as
// sanitise() and highpass(), left and right in the two lanes of one SSE2 register, without the
// memory checks: as long as the memories are finite those checks change nothing), then mix with
// the dry input. Stops after the first sample whose output (and so a memory) is NaN or infinite
// and returns how many it did; the caller goes on sample by sample from there.
int highpassPass(Highpass& left, Highpass& right, const double* inL, const double* inR, const double* wetLeft,
                 const double* wetRight, double* outL, double* outR, int n, double mix, double volume)
{
  using Pair = double __attribute__((vector_size(16)));
  const Pair gain0 = {left.gain0, right.gain0};
  const Pair gain1 = {left.gain1, right.gain1};
  const Pair feedback1 = {left.feedback1, right.feedback1};
  const Pair feedback2 = {left.feedback2, right.feedback2};
  Pair x1 = {left.x1, right.x1};
  Pair x2 = {left.x2, right.x2};
  Pair y1 = {left.y1, right.y1};
  Pair y2 = {left.y2, right.y2};
  Pair d = {left.antiDenormal, right.antiDenormal};
  int i = 0;
  while (i < n) {
    const Pair wet = {wetLeft[i], wetRight[i]};
    // wet - wet is 0 exactly when wet is finite.
    const Pair x = (wet - wet == 0.0) ? wet + d : Pair{0.0, 0.0};
    const Pair m1 = x1 + d;
    const Pair m2 = x2 + d;
    const Pair n1 = y1 + d;
    const Pair n2 = y2 + d;
    const Pair y = ((gain0 * (m2 + x) + gain1 * m1) + feedback1 * n1) + feedback2 * n2;
    x2 = m1;
    x1 = x;
    y2 = n1;
    y1 = y;
    d = -d;
    // Both inputs are read before either output is written: the arrays may be shared, even crossed.
    const Pair dry = {inL[i], inR[i]};
    const Pair out = ((y - dry) * mix + dry) * volume;
    outL[i] = out[0];
    outR[i] = out[1];
    ++i;
    if (!(y[0] - y[0] == 0.0 && y[1] - y[1] == 0.0))
      break;
  }
  left.x1 = x1[0];
  left.x2 = x2[0];
  left.y1 = y1[0];
  left.y2 = y2[0];
  left.antiDenormal = d[0];
  right.x1 = x1[1];
  right.x2 = x2[1];
  right.y1 = y1[1];
  right.y2 = y2[1];
  right.antiDenormal = d[1];
  return i;
}

// Whether every input value is one that the grain boxes record as a finite float. A copy per
// vector unit (VectorClones.h), like the loops below.
QUENNET_VECTOR_CLONES bool recordsFinite(const double* __restrict left,
                                                                                const double* __restrict right, int n)
{
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  int nonFinite = 0;
  for (int i = 0; i < n; ++i)
    nonFinite |= !(std::fabs(left[i]) <= kFloatMax) + !(std::fabs(right[i]) <= kFloatMax);
  return !nonFinite;
}

// wet[i] += level[i] · voice[i]
QUENNET_VECTOR_CLONES void
addWeighted(double* __restrict wet, const double* __restrict level, const double* __restrict voice, int n)
{
  for (int i = 0; i < n; ++i)
    wet[i] += level[i] * voice[i];
}
} // namespace

void Quennet::syncToHostTempo()
{
  const plug::ITransportInfo& transport = GetTransportInfo();
  const double tempo = transport.mTempo;
  if (!(tempo > 0.0) || !std::isfinite(tempo) || !(mSampleRate > 0.0))
    return;

  const double beatSamples = mSampleRate * 60.0 / tempo;
  const double grainSamples = ppqScaler[static_cast<size_t>(mGrainSyncIndex.load(std::memory_order_relaxed))] * beatSamples;
  const double frameSamples = beatSamples * ppqScaler[static_cast<size_t>(mFrameSyncIndex.load(std::memory_order_relaxed))];
  // Below one sample the counters would divide by zero; far above, the lengths do not fit the voices.
  if (!(grainSamples >= 1.0 && grainSamples <= kMaxSyncSamples && frameSamples >= 1.0 && frameSamples <= kMaxSyncSamples))
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
  const bool inputFinite = recordsFinite(inL, inR, n);
  std::array<int, kNumVoices> sounding{};
  std::array<ADSR*, kNumVoices> envelopes{};
  alignas(64) double levels[kNumVoices][kPass];
  std::array<double*, kNumVoices> levelsOf{};
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
    sounding[static_cast<size_t>(count)] = v;
    envelopes[static_cast<size_t>(count)] = &envelope;
    levelsOf[static_cast<size_t>(count)] = levels[count];
    ++count;
  }
  ADSR::render(envelopes.data(), levelsOf.data(), count, n);
  for (int k = 0; k < count; ++k) {
    alignas(64) double voiceL[kPass];
    alignas(64) double voiceR[kPass];
    mVoices[static_cast<size_t>(sounding[static_cast<size_t>(k)])].process(inL, inR, voiceL, voiceR, n);
    addWeighted(wetL, levels[k], voiceL, n);
    addWeighted(wetR, levels[k], voiceR, n);
  }
}

Sample Quennet::renderVoices(Sample in, bool midiMode, int polyphony)
{
  if (!midiMode)
    return mVoices[0].process(in);

  // The same sum as renderVoices over a pass, for one frame.
  constexpr double kFloatMax = std::numeric_limits<float>::max();
  const bool inputFinite = std::fabs(in.left) <= kFloatMax && std::fabs(in.right) <= kFloatMax;
  Sample wet(0.0, 0.0);
  for (int v = 0; v < polyphony; ++v) {
    GrainSet& voice = mVoices[static_cast<size_t>(v)];
    ADSR& envelope = mEnvelopes[static_cast<size_t>(v)];
    if (envelope.mStage == ADSR::kStageIdle && envelope.mLevel == 0.0 && inputFinite && voice.holdsOnlyFinite()) {
      voice.record(&in.left, &in.right, 1);
      continue;
    }
    const Sample out = voice.process(in);
    wet.left += envelope.mLevel * out.left;
    wet.right += envelope.mLevel * out.right;
    envelope.update();
  }
  return wet;
}

void Quennet::renderOutput(const double* inL, const double* inR, const double* wetL, const double* wetR,
                           double* outL, double* outR, int n, double mix, double volume)
{
  int i = memoriesFinite(mHighpassLeft) && memoriesFinite(mHighpassRight)
            ? highpassPass(mHighpassLeft, mHighpassRight, inL, inR, wetL, wetR, outL, outR, n, mix, volume)
            : 0;
  // Something is not finite: sample by sample, dropping bad memories where they are read.
  for (; i < n; ++i) {
    const double l = inL[i];
    const double r = inR[i];
    const double yL = highpass(mHighpassLeft, sanitise(wetL[i], mHighpassLeft));
    const double yR = highpass(mHighpassRight, sanitise(wetR[i], mHighpassRight));
    outL[i] = ((yL - l) * mix + l) * volume;
    outR[i] = ((yR - r) * mix + r) * volume;
  }
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

  if (nFrames <= kFewFrames) {
    // A frame at a time, as the steps are written down: for so few frames the passes' set-up
    // costs more than it saves. The same operations in the same order, so the same numbers.
    for (int i = 0; i < nFrames; ++i) {
      if (grainSync || frameSync)
        advanceTempoSync(grainSync, frameSync, 1);
      const double l = inputs[0][i];
      const double r = inputs[1][i];
      const Sample wet = renderVoices(Sample(l, r), midiMode, polyphony);
      const double yL = highpass(mHighpassLeft, sanitise(wet.left, mHighpassLeft));
      const double yR = highpass(mHighpassRight, sanitise(wet.right, mHighpassRight));
      outputs[0][i] = ((yL - l) * mix + l) * volume;
      outputs[1][i] = ((yR - r) * mix + r) * volume;
    }
    return;
  }

  // A pass at a time: the voices between tempo-sync restarts, then the output stage. Nothing in
  // the engine changes within a block except through the restarts, so this gives the samples of
  // the per-sample order.
  for (int start = 0; start < nFrames; start += kPass) {
    const int n = std::min(kPass, nFrames - start);
    const double* inL = inputs[0] + start;
    const double* inR = inputs[1] + start;
    alignas(64) double wetL[kPass];
    alignas(64) double wetR[kPass];
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
  SendMidiMsg(msg);  // MIDI through

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
          mLearn.setMidiLearnCC(controller);  // may complete the learn and write the file
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
