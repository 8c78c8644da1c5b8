// SPDX-License-Identifier: ISC
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/quennet.param.h"
#include "dsp/ADSR.h"
#include "dsp/GrainSet.h"
#include "framework/IPlugin.h"
#include "services/midi_learn.h"
#include "services/tuning_client.h"

namespace quennet {

// Second-order high-pass of one output channel; coefficients made for `sampleRate` by OnReset.
struct Highpass {
  double sampleRate = 44100.0;
  double cutoff = 16.0; // Hz; never changed
  double feedback1 = 0.0; // weight of the previous output
  double feedback2 = 0.0; // weight of the output before that
  double gain0 = 0.0; // weight of the input and of the input two samples back
  double gain1 = 0.0; // weight of the previous input
  double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
  double antiDenormal = 1e-13; // keeps the recursion off denormals; its sign alternates every sample
};

// The two channels' high-pass records side by side: left in lane 0 and right in lane 1 of each
// pair, so that the audio path steps both channels at once, each lane as its channel alone.
struct StereoHighpass {
  using Pair = double __attribute__((vector_size(16)));

  Pair gain0{}, gain1{}, feedback1{}, feedback2{};
  Pair x1{}, x2{}, y1{}, y2{};
  Pair antiDenormal{1e-13, 1e-13};
  double sampleRate = 44100.0;
  double cutoff = 16.0;

  // One channel's record (0 left, 1 right), and back.
  Highpass channel(int c) const;
  void setChannel(int c, const Highpass& h);
};

// The plug-in: eight grain voices with envelopes, the output high-pass, the parameter dispatch,
// MIDI notes and the factory presets.
//
// Threads: parameter changes may arrive on any thread, but the engine (voices, envelopes, the
// members that mirror parameters) is only ever changed on the audio thread. A change made on
// another thread is recorded and applied at the start of the next render call, before its MIDI;
// during construction, when no other thread can see the instance, changes apply at once.
class Quennet final : public plug::IPlugin {
public:
  static constexpr int kNumVoices = 8;
  static constexpr int kVoiceNoteAfterReset = 36;
  // Frames per pass of the audio path: the wet signal of a pass waits in arrays of this size.
  static constexpr int kPass = 256;
  // The lowest note's frequency in the equal-tempered table, Hz.
  static constexpr double kLowestNoteHz = 8.176;

  explicit Quennet(const plug::InstanceInfo& info);
  ~Quennet() override;

  // Any thread.
  void OnParamChange(int paramIdx) override;
  // User-interface thread, every 20 ms.
  void OnIdle() override;

  // Audio thread.
  void ProcessBlock(double** inputs, double** outputs, int nFrames) override;
  void ProcessMidiMsg(const plug::IMidiMsg& msg) override;
  void OnReset() override;
  // Host thread, while no audio runs: every note ends, every voice restarts its frame and grain,
  // the high-pass memories clear; parameters and presets stay.
  void OnActivate() override;

  // The host's background thread: the configuration write of a learn the audio thread completed.
  void OnBackgroundWork() override;

  // Factory presets; user-interface thread.
  void initPresets();
  void initPreset(int index);
  // A slot, its name, then one value per parameter slot 0 ... 28 in index order: a double for a
  // parameter of kind double, an int for every other kind (reserved slots included).
  void initPreset(int index, const char* name, ...);
  void changePreset(int index);

  // Configuration file and MIDI learn.
  bool loadConfig();
  bool saveConfig() { return mLearn.saveConfig(); }
  void doMidiLearn(bool on) { mLearn.doMidiLearn(on); }
  void doMidiUnlearn(bool on) { mLearn.doMidiUnlearn(on); }
  void setMidiLearnParam(int paramIdx) { mLearn.setMidiLearnParam(paramIdx); }
  void setMidiLearnCC(int controller) { mLearn.setMidiLearnCC(controller); }
  void applyMidiLearn() { mLearn.applyMidiLearn(); }
  MidiLearnConfig& learn() { return mLearn; }
  const MidiLearnConfig& learn() const { return mLearn; }

  // The plug-in's editor side (editor/quennet.editor.h): the editor's factory and layout, its idle
  // updates, sizes and version check. Installed by the binaries that show an editor (the plug-in as
  // hosts make it, MakePlug); without one the plug-in sounds and behaves the same, only no editor
  // opens.
  // User-interface thread.
  class EditorSide {
  public:
    virtual ~EditorSide() = default;
    // The plug-in's idle tick, every 20 ms.
    virtual void onIdle() = 0;
    // The plug-in's OnEditorClose.
    virtual void onEditorClose() = 0;
    // The preferred scale may have changed (a configuration was loaded): an open editor takes it.
    virtual void onPreferredScaleChange() = 0;
  };
  void setEditorSide(std::unique_ptr<EditorSide> side) { mEditorSide = std::move(side); }
  EditorSide* editorSide() const { return mEditorSide.get(); }
  void OnEditorClose() override;

  // Notes; audio thread (or before the first render call).
  void setNoteOn(int note, int velocity);
  void setNoteOff(int note);
  void allNotesOff();

  // Editor refreshes. The three update... requests may come from any thread (the dispatch asks for
  // them as a parameter changes, before the audio thread applies it): they only mark what the next
  // idle tick applies on the user-interface thread, and touch no control. What the editor shows
  // follows the parameters, not the engine's copies.
  void updateSliders();
  void updateGrainEnvelope();
  void updateFrameEnvelope();
  // The refreshes asked for since the last call, one bit each; the idle tick takes them.
  static constexpr unsigned kRefreshSliders = 1u << 0;
  static constexpr unsigned kRefreshGrainEnvelope = 1u << 1;
  static constexpr unsigned kRefreshFrameEnvelope = 1u << 2;
  unsigned takeEditorRefresh() { return mEditorRefresh.exchange(0, std::memory_order_relaxed); }

  // Read-only views for the editor and the tests.
  const GrainSet& voice(int v) const { return mVoices[static_cast<size_t>(v)]; }
  const ADSR& envelope(int v) const { return mEnvelopes[static_cast<size_t>(v)]; }
  Highpass highpassLeft() const { return mHighpass.channel(0); }
  Highpass highpassRight() const { return mHighpass.channel(1); }
  int voiceNote(int v) const { return mVoiceNote[static_cast<size_t>(v)]; }
  int voiceAge(int v) const { return mVoiceAge[static_cast<size_t>(v)]; }
  int noteCounter() const { return mNoteCounter; }
  bool noteActive() const { return mNoteActive.load(std::memory_order_relaxed); }
  double volume() const { return mVolume.load(std::memory_order_relaxed); }
  double mix() const { return mMix.load(std::memory_order_relaxed); }
  bool grainSyncMode() const { return mGrainSyncMode.load(std::memory_order_relaxed); }
  bool grainFreqMode() const { return mGrainFreqMode.load(std::memory_order_relaxed); }
  bool midiMode() const { return mMidiMode.load(std::memory_order_relaxed); }
  bool frameSyncToHost() const { return mFrameSyncToHost.load(std::memory_order_relaxed); }
  int grainSyncIndex() const { return mGrainSyncIndex.load(std::memory_order_relaxed); }
  int frameSyncIndex() const { return mFrameSyncIndex.load(std::memory_order_relaxed); }
  int polyphony() const { return mPolyphony.load(std::memory_order_relaxed); }
  std::int64_t grainSyncSamples() const { return mGrainSyncSamples; }
  std::int64_t frameSyncSamples() const { return mFrameSyncSamples; }
  std::int64_t grainSyncCounter() const { return mGrainSyncCounter; }
  std::int64_t frameSyncCounter() const { return mFrameSyncCounter; }
  double sampleRate() const { return mSampleRate; }

protected:
  void OnRenderStart() override;

private:
  void initParameters();
  void applyParamChange(int paramIdx);
  void applyPendingParamChanges();
  void syncToHostTempo();
  void keepRecordingsResident();
  void prepareFirstBlock();
  // The state of an activation: no note, every voice and the filter as new.
  void resetEngine();
  void warmUpAudioPath();
  // Audio path, in passes of at most a few hundred samples (see quennet.process.cpp).
  int advanceTempoSync(bool grainSync, bool frameSync, int wanted);
  void renderVoices(const double* inL, const double* inR, double* wetL, double* wetR, int n, bool midiMode,
                    int polyphony);
  void renderOutput(const double* inL, const double* inR, const double* wetL, const double* wetR, double* outL,
                    double* outR, int n, double mix, double volume);
  void sendValuesToEditor();
  void requestEditorRefresh(unsigned what);
  // The refreshes the dispatch asks for after a change of the parameter.
  void requestEditorRefreshFor(int paramIdx);

  template <typename Fn>
  void forEachVoice(Fn&& fn)
  {
    for (GrainSet& voice : mVoices)
      fn(voice);
  }
  template <typename Fn>
  void forEachEnvelope(Fn&& fn)
  {
    for (ADSR& envelope : mEnvelopes)
      fn(envelope);
  }

  MidiLearnConfig mLearn;
  std::array<GrainSet, kNumVoices> mVoices;
  // Where a pass of the audio path keeps its signals: in the instance, written once when it is
  // made, so that the audio thread finds its pages in memory and its stack stays small.
  struct Scratch {
    alignas(64) double wetLeft[kPass];
    alignas(64) double wetRight[kPass];
    alignas(64) double voiceLeft[kPass];
    alignas(64) double voiceRight[kPass];
    alignas(64) double levels[kNumVoices][kPass]; // envelope levels of the sounding voices
    alignas(64) double silence[kPass] = {}; // never written: the input of the warm-up pass
  };
  std::unique_ptr<Scratch> mScratch = std::make_unique<Scratch>();
  // Envelope values at whole positions, shared by all voices: the grain envelope in the integer
  // grain modes (only voice 0 plays then) and the frame envelope (every voice has the same frames).
  static constexpr int kEnvelopeTableLength = 32768;
  EnvelopeTable mGrainEnvelopeTable;
  EnvelopeTable mFrameEnvelopeTable;
  TuningClient* mTuningClient = nullptr; // microtuning source of the note frequencies
  std::array<ADSR, kNumVoices> mEnvelopes;
  StereoHighpass mHighpass; // the left and the right channel's record
  std::array<std::int32_t, kNumVoices> mVoiceNote;
  std::array<std::int32_t, kNumVoices> mVoiceAge;

  // Mirrors of parameters, set by the dispatch; read by the audio path and the editor.
  std::atomic<double> mVolume{0.0}; // linear gain
  std::atomic<double> mMix{0.0}; // 0 dry ... 1 wet
  std::atomic<bool> mGrainSyncMode{false};
  std::atomic<bool> mGrainFreqMode{false};
  std::atomic<bool> mMidiMode{false};
  std::atomic<bool> mFrameSyncToHost{false};
  std::atomic<int> mGrainSyncIndex{0}; // into ppqScaler
  std::atomic<int> mFrameSyncIndex{0}; // into ppqScaler
  std::atomic<int> mPolyphony{0}; // voices used in mode "MIDI"

  // Tempo sync, audio thread: lengths in samples and samples elapsed in the current grain/frame.
  std::int64_t mGrainSyncSamples = 0;
  std::int64_t mFrameSyncSamples = 0;
  std::int64_t mGrainSyncCounter = 0;
  std::int64_t mFrameSyncCounter = 0;

  std::int32_t mNoteCounter = 0; // counts note-ons; stamps mVoiceAge
  std::atomic<bool> mNoteActive{false}; // some voice sounds; the editor's LED
  double mSampleRate = 0.0; // Hz; the rate last taken over by OnReset

  // Parameter changes waiting for the audio thread: bit i for parameter i.
  std::atomic<std::uint32_t> mPendingParamChanges{0};
  bool mConstructing = true;
  // Editor refreshes asked for since the last idle tick, one bit each (any thread).
  std::atomic<unsigned> mEditorRefresh{0};
  std::unique_ptr<EditorSide> mEditorSide;
};

} // namespace quennet
