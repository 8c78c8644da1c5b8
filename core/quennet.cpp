// SPDX-License-Identifier: ISC
#include "core/quennet.h"

#include <cmath>
#include <cstdarg>
#include <limits>
#include <utility>

namespace quennet {

using plug::IParam;

namespace {
static_assert(kNumParams <= 32, "pending parameter changes are one bit each in a 32-bit word");

// The filter as it starts: no input or output remembered.
void clearHighpass(Highpass& h)
{
  h.x1 = h.x2 = h.y1 = h.y2 = 0.0;
  h.antiDenormal = 1e-13;
}

void clearHighpass(StereoHighpass& h)
{
  for (int c = 0; c < 2; ++c) {
    Highpass record = h.channel(c);
    clearHighpass(record);
    h.setChannel(c, record);
  }
}

void designHighpass(Highpass& h, double sampleRate)
{
  h.sampleRate = sampleRate;
  clearHighpass(h);
  // Second-order Butterworth (Q = 1/sqrt 2) at h.cutoff.
  const double w = sampleRate > 0.0 ? h.cutoff * 2.0 * M_PI / sampleRate : 0.0;
  const double s = std::sin(w);
  const double c = std::cos(w);
  const double alpha = s / 1.4142135623730951;
  const double g = 1.0 / (1.0 + alpha);
  h.gain0 = g * (1.0 + c) / 2.0;
  h.gain1 = -g * (1.0 + c);
  h.feedback1 = 2.0 * c * g;
  h.feedback2 = (alpha - 1.0) * g;
}
void designHighpass(StereoHighpass& h, double sampleRate)
{
  for (int c = 0; c < 2; ++c) {
    Highpass record = h.channel(c);
    designHighpass(record, sampleRate);
    h.setChannel(c, record);
  }
}
} // namespace

Highpass StereoHighpass::channel(int c) const
{
  Highpass h;
  h.sampleRate = sampleRate;
  h.cutoff = cutoff;
  h.feedback1 = feedback1[c];
  h.feedback2 = feedback2[c];
  h.gain0 = gain0[c];
  h.gain1 = gain1[c];
  h.x1 = x1[c];
  h.x2 = x2[c];
  h.y1 = y1[c];
  h.y2 = y2[c];
  h.antiDenormal = antiDenormal[c];
  return h;
}

void StereoHighpass::setChannel(int c, const Highpass& h)
{
  sampleRate = h.sampleRate;
  cutoff = h.cutoff;
  feedback1[c] = h.feedback1;
  feedback2[c] = h.feedback2;
  gain0[c] = h.gain0;
  gain1[c] = h.gain1;
  x1[c] = h.x1;
  x2[c] = h.x2;
  y1[c] = h.y1;
  y2[c] = h.y2;
  antiDenormal[c] = h.antiDenormal;
}

} // namespace quennet

// The framework's factory functions: the framework declares them in its own namespace.
const plug::Config& plug::PlugConfig()
{
  static const plug::Config config = [] {
    plug::Config c;
    c.nParams = quennet::kNumParams;
    c.nPresets = quennet::kNumPresets;
    c.channelIOStr = "2-2";
    c.pluginName = "Quennet";
    c.productName = "Quennet";
    c.mfrName = "Tarnwell Music";
    c.vendorVersion = 0x00010102;
    c.uniqueID = plug::FourCharCode("twQn");
    c.mfrID = plug::FourCharCode("Trwl");
    c.latency = 0;
    c.plugDoesMidiIn = true;
    c.plugDoesMidiOut = false;
    c.plugHasUI = true;
    c.plugWidth = 984;
    c.plugHeight = 432;
    c.plugMinWidth = 328;
    c.plugMinHeight = 144;
    c.plugMaxWidth = 2952;
    c.plugMaxHeight = 1296;
    c.bundleID = "example.tarnwellmusic.aax.Quennet";
    c.appGroupID = "group.example.tarnwellmusic.Quennet";
    c.effectNames = "Quennet\nQnet";
    c.midiInputNodeName = "Quennet Midi";
    return c;
  }();
  return config;
}

namespace quennet {

Quennet::Quennet(const plug::InstanceInfo&) : plug::IPlugin(plug::PlugConfig())
{
  // The filters start at 44.1 kHz and 16 Hz, and mSampleRate at 0 so that the first reset acts.
  mVoiceNote.fill(kVoiceNoteAfterReset);
  mVoiceAge.fill(0);
  mGrainEnvelopeTable.reserve(kEnvelopeTableLength);
  mFrameEnvelopeTable.reserve(kEnvelopeTableLength);
  forEachVoice([&](GrainSet& v) { v.shareEnvelopeTables(&mGrainEnvelopeTable, &mFrameEnvelopeTable); });
  // Voice 0 plays every mode and remembers the default stretch of its frames. The other voices
  // play notes only: half of it, which holds whole the frames of the MIDI presets at 48 kHz (75 ms)
  // and the first 85 ms of longer ones, for half the memory to keep resident.
  for (int v = 1; v < kNumVoices; ++v)
    mVoices[static_cast<size_t>(v)].setGrainEnvelopeMemoCapacity(GrainEnvelopeMemo::kDefaultCapacity / 2);

  mLearn.doMidiLearn(false);
  mLearn.locate();
  // A learn that the audio thread completes leaves its write to the host's background thread, if any.
  mLearn.setSaveDeferral([](void* self) { return static_cast<Quennet*>(self)->ScheduleBackgroundWork(); }, this);

  SetChannelLabel(plug::kInput, 0, "Quennet Left");
  SetChannelLabel(plug::kInput, 1, "Quennet Right");
  SetChannelLabel(plug::kOutput, 0, "Quennet Left");
  SetChannelLabel(plug::kOutput, 1, "Quennet Right");

  initParameters();
  initPresets();
  mTuningClient = MTS_RegisterClient();
  mConstructing = false;
}

Quennet::~Quennet()
{
  StopTimer();
  // The editor side goes first: its version check's thread is joined while the plug-in is whole.
  mEditorSide.reset();
  MTS_DeregisterClient(mTuningClient);
}

void Quennet::initParameters()
{
  std::array<IParam*, kNumParams> params{};
  for (int i = 0; i < kNumParams; ++i)
    params[static_cast<size_t>(i)] = GetParam(i);
  initQuennetParameters(params);
}

void Quennet::OnReset()
{
  const double rate = GetSampleRate();
  if (rate == mSampleRate)
    return;
  mSampleRate = rate;
  mNoteCounter = 0;
  designHighpass(mHighpass, rate);
  for (int v = 0; v < kNumVoices; ++v) {
    mVoices[static_cast<size_t>(v)].setSampleRate(rate);
    mEnvelopes[static_cast<size_t>(v)].setSampleRate(rate);
    mVoiceNote[static_cast<size_t>(v)] = kVoiceNoteAfterReset;
    mVoiceAge[static_cast<size_t>(v)] = 0;
  }
  keepRecordingsResident();
  prepareFirstBlock();
}

void Quennet::keepRecordingsResident()
{
  // What the audio thread may record, in memory now, and nothing more. Voice 0 plays every mode,
  // with grains up to the longest that fits: all of its recording. The other voices play notes
  // only, whose grains are no longer than a period of the lowest note (with a grain overlap of at
  // most a half on top) -- unless a tuning source may tune notes anywhere.
  const int all = std::numeric_limits<int>::max();
  const int notes =
    MTS_HasMaster(mTuningClient) ? all : static_cast<int>(std::ceil(1.5 * mSampleRate / kLowestNoteHz)) + 1;
  for (int v = 0; v < kNumVoices; ++v)
    mVoices[static_cast<size_t>(v)].keepRecordingResident(v == 0 ? all : notes);
}

void Quennet::OnActivate()
{
  resetEngine();
  warmUpAudioPath();
}

void Quennet::resetEngine()
{
  allNotesOff();
  // Every voice as new, with nothing recorded: the first frame's cross-fade comes from silence,
  // not from what the other box held before the pause.
  forEachVoice([](GrainSet& v) { v.reset(); });
  mNoteCounter = 0;
  mVoiceNote.fill(kVoiceNoteAfterReset);
  mVoiceAge.fill(0);
  clearHighpass(mHighpass);
  prepareFirstBlock();
}

void Quennet::warmUpAudioPath()
{
  // Hosts process right after an activation. Left cold, the first block pays for fetching the
  // audio path's code and this instance's data into the caches, several times what a block
  // costs; a pass of silence through the voices and the output stage fetches them now, and the
  // engine is then reset again to the state of before (no voice sounds after a reset, so the
  // pass only records and filters silence).
  const bool midiMode = mMidiMode.load(std::memory_order_relaxed);
  const int polyphony = std::min(mPolyphony.load(std::memory_order_relaxed), kNumVoices);
  Scratch& s = *mScratch;
  renderVoices(s.silence, s.silence, s.wetLeft, s.wetRight, kPass, midiMode, polyphony);
  renderOutput(s.silence, s.silence, s.wetLeft, s.wetRight, s.voiceLeft, s.voiceRight, kPass, 0.0, 0.0);
  resetEngine();
}

void Quennet::prepareFirstBlock()
{
  // While no audio runs (a reset for a new rate, an activation): what the first render call would
  // do first -- take over the settings made since the last one, and work out the envelope tables
  // that the first frames read -- so that the first block costs what any block does.
  applyPendingParamChanges();
  forEachVoice([](GrainSet& v) { v.prepareEnvelopes(); });
}

void Quennet::OnBackgroundWork()
{
  mLearn.saveConfig();
}

bool Quennet::loadConfig()
{
  mLearn.loadConfig();
  if (mEditorSide)
    mEditorSide->onPreferredScaleChange();
  return true;
}

// ---- Editor side ----

void Quennet::OnIdle()
{
  if (mEditorSide) {
    mEditorSide->onIdle();
    return;
  }
  // No editor shows the refreshes or the learn switch: what was asked for needs no applying.
  takeEditorRefresh();
  mLearn.takeSwitchResetRequest();
}

void Quennet::OnEditorClose()
{
  if (mEditorSide)
    mEditorSide->onEditorClose();
}

void Quennet::requestEditorRefresh(unsigned what)
{
  // Also without an editor: a request made while one is being built is applied at its first tick.
  mEditorRefresh.fetch_or(what, std::memory_order_relaxed);
}

void Quennet::updateSliders()
{
  requestEditorRefresh(kRefreshSliders);
}
void Quennet::updateGrainEnvelope()
{
  requestEditorRefresh(kRefreshGrainEnvelope);
}
void Quennet::updateFrameEnvelope()
{
  requestEditorRefresh(kRefreshFrameEnvelope);
}

void Quennet::requestEditorRefreshFor(int paramIdx)
{
  switch (paramIdx) {
    case kGrainMode:
    case kFrameSyncToHost: updateSliders(); break;
    case kGrainFadeIn:
    case kGrainSkew:
    case kGrainFadeOut: updateGrainEnvelope(); break;
    case kFrameFadeIn:
    case kFrameSkew:
    case kFrameFadeOut: updateFrameEnvelope(); break;
    default: break;
  }
}

void Quennet::OnParamChange(int paramIdx)
{
  if (paramIdx < 0 || paramIdx >= kNumParams)
    return;
  // The editor follows the parameter itself, now: whether or not audio runs to apply it, and also
  // while learn keeps the change from the engine.
  requestEditorRefreshFor(paramIdx);
  if (mLearn.learnActive()) {
    // While learn is armed a change only names the parameter to learn; the engine keeps its value.
    mLearn.setMidiLearnParam(paramIdx);
    return;
  }
  if (mConstructing || OnRenderThread())
    applyParamChange(paramIdx);
  else
    mPendingParamChanges.fetch_or(1u << paramIdx, std::memory_order_acq_rel);
}

void Quennet::OnRenderStart()
{
  applyPendingParamChanges();
}

void Quennet::applyPendingParamChanges()
{
  // Once per render call, mostly with nothing pending: a plain load first, the locked exchange
  // only when there is something to take (a change that comes just after waits for the next call).
  if (mPendingParamChanges.load(std::memory_order_relaxed) == 0)
    return;
  const std::uint32_t pending = mPendingParamChanges.exchange(0, std::memory_order_acq_rel);
  for (int i = 0; pending >> i; ++i)
    if (pending & (1u << i))
      applyParamChange(i);
}

void Quennet::applyParamChange(int paramIdx)
{
  const double x = GetParam(paramIdx)->GetValue();
  switch (paramIdx) {
    case kVolume: mVolume.store(x, std::memory_order_relaxed); break;
    case kMix: mMix.store(x, std::memory_order_relaxed); break;
    case kGrainMode: {
      allNotesOff();
      const int mode = static_cast<int>(x);
      forEachVoice([&](GrainSet& v) { v.setGrainMode(static_cast<eGrainMode>(mode)); });
      mGrainSyncMode.store(mode == kGrainModeSync, std::memory_order_relaxed);
      mGrainFreqMode.store(mode == kGrainModeFreq, std::memory_order_relaxed);
      mMidiMode.store(mode == kGrainModeMidi, std::memory_order_relaxed);
      break;
    }
    case kGrainLength: mVoices[0].setGrainLength(x); break;
    case kGrainSync: mGrainSyncIndex.store(static_cast<int>(x), std::memory_order_relaxed); break;
    case kGrainFrequency: mVoices[0].setGrainFrequency(x, false); break;
    case kGrainOverlap: forEachVoice([&](GrainSet& v) { v.setGrainOverlap(x); }); break;
    case kGrainFadeIn: forEachVoice([&](GrainSet& v) { v.setGrainFadeIn(x); }); break;
    case kGrainSkew: forEachVoice([&](GrainSet& v) { v.setGrainSkew(x); }); break;
    case kGrainFadeOut: forEachVoice([&](GrainSet& v) { v.setGrainFadeOut(x); }); break;
    case kFrameLength: forEachVoice([&](GrainSet& v) { v.setFrameLength(x); }); break;
    case kFrameSync: mFrameSyncIndex.store(static_cast<int>(x), std::memory_order_relaxed); break;
    case kFrameSyncToHost: {
      const bool on = x >= 0.5;
      mFrameSyncToHost.store(on, std::memory_order_relaxed);
      forEachVoice([&](GrainSet& v) { v.setFrameLengthSyncEnabled(on); });
      break;
    }
    case kFrameOverlap: forEachVoice([&](GrainSet& v) { v.setFrameOverlap(x); }); break;
    case kFrameFadeIn: forEachVoice([&](GrainSet& v) { v.setFrameFadeIn(x); }); break;
    case kFrameSkew: forEachVoice([&](GrainSet& v) { v.setFrameSkew(x); }); break;
    case kFrameFadeOut: forEachVoice([&](GrainSet& v) { v.setFrameFadeOut(x); }); break;
    case kMidiPolyphony:
      allNotesOff();
      mPolyphony.store(static_cast<int>(x), std::memory_order_relaxed);
      break;
    case kMidiAttack: forEachEnvelope([&](ADSR& e) { e.setAttack(x); }); break;
    case kMidiDecay: forEachEnvelope([&](ADSR& e) { e.setDecay(x); }); break;
    case kMidiSustain: forEachEnvelope([&](ADSR& e) { e.setSustain(x); }); break;
    case kMidiRelease: forEachEnvelope([&](ADSR& e) { e.setRelease(x); }); break;
    default: break; // reserved slots
  }
}

// Factory presets.

void Quennet::initPresets()
{
  MakeDefaultPreset(nullptr, kNumPresets);
  for (int i = 0; i < kNumPresets; ++i)
    initPreset(i);
  RestorePreset(0);
}

namespace {
// The builder takes a double for a parameter of kind double and an int for every other slot.
template <size_t I>
auto builderArgument(double value)
{
  if constexpr (kFactoryPresetTakesDouble[I])
    return value;
  else
    return static_cast<int>(value);
}

template <size_t... I>
void buildFactoryPreset(Quennet& plugin, int index, std::index_sequence<I...>)
{
  const FactoryPreset& preset = kFactoryPresets[static_cast<size_t>(index)];
  plugin.initPreset(index, preset.name, builderArgument<I>(preset.values[I])...);
}
} // namespace

void Quennet::initPreset(int index)
{
  if (index < 0 || index >= kNumPresets)
    return;
  buildFactoryPreset(*this, index, std::make_index_sequence<kNumParams>{});
  // A reset from the editor changes every parameter, as a preset switch does: the host's controls
  // follow. (Construction builds the presets before any host listens.)
  if (!mConstructing)
    InformHostOfPresetChange();
}

void Quennet::initPreset(int index, const char* name, ...)
{
  if (index < 0 || index >= NPresets())
    return;
  if (index != GetCurrentPresetIdx())
    RestorePreset(index);

  va_list args;
  va_start(args, name);
  for (int i = 0; i < kNumParams; ++i) {
    IParam& param = *GetParam(i);
    double value = param.Type() == IParam::kTypeDouble ? va_arg(args, double) : static_cast<double>(va_arg(args, int));
    if (param.GetStepped())
      value = std::round(value / param.GetStep()) * param.GetStep();
    double lo = 0.0;
    double hi = 0.0;
    param.GetBounds(lo, hi);
    param.SetValue(std::clamp(value, lo, hi));
  }
  va_end(args);

  ModifyCurrentPreset(name);
  RestorePreset(index);
  sendValuesToEditor();
}

void Quennet::changePreset(int index)
{
  ModifyCurrentPreset(nullptr);
  RestorePreset(index);
  InformHostOfPresetChange();
  sendValuesToEditor();
}

void Quennet::sendValuesToEditor()
{
  for (int i = 0; i < kNumParams; ++i)
    SendParameterValueFromDelegate(i, std::clamp(GetParam(i)->GetNormalized(), 0.0, 1.0), true);
}

} // namespace quennet
