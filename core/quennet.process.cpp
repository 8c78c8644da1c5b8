#include <cmath>
#include <limits>

#include "core/quennet.h"

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

  for (int i = 0; i < nFrames; ++i) {
    // Restarts fire only once a valid length is known.
    if (grainSync && ++mGrainSyncCounter >= mGrainSyncSamples && mGrainSyncSamples >= 1) {
      mVoices[0].resetGrain();
      mGrainSyncCounter = 0;
    }
    if (frameSync && ++mFrameSyncCounter >= mFrameSyncSamples && mFrameSyncSamples >= 1) {
      forEachVoice([](GrainSet& v) { v.resetFrame(); });
      mFrameSyncCounter = 0;
    }

    const double inL = inputs[0][i];
    const double inR = inputs[1][i];

    double wetL = 0.0;
    double wetR = 0.0;
    if (midiMode) {
      for (int v = 0; v < polyphony; ++v) {
        const Sample out = mVoices[static_cast<size_t>(v)].process(Sample(inL, inR));
        ADSR& envelope = mEnvelopes[static_cast<size_t>(v)];
        const double level = envelope.mLevel;  // before this sample's update
        wetL += level * out.left;
        wetR += level * out.right;
        envelope.update();
      }
    } else {
      const Sample out = mVoices[0].process(Sample(inL, inR));
      wetL = out.left;
      wetR = out.right;
    }

    wetL = sanitise(wetL, mHighpassLeft);
    wetR = sanitise(wetR, mHighpassRight);
    const double yL = highpass(mHighpassLeft, wetL);
    const double yR = highpass(mHighpassRight, wetR);

    outputs[0][i] = ((yL - inL) * mix + inL) * volume;
    outputs[1][i] = ((yR - inR) * mix + inR) * volume;
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
        // The editor follows through the parameter queue and the timer.
        SendParameterValueFromDelegate(paramIdx, value, true);
        SetParameterValue(paramIdx, value);
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
