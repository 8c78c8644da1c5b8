// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "framework/HostBlock.h"
#include "framework/IPlugin.h"

namespace plug::lv2 {

// The LV2 bridge: one LV2 instance owning one plug-in instance from MakePlug. It turns the
// host's ports, atoms, options and state into the framework's calls and back; the plug-in never
// sees an LV2 type. Port layout and URIs: LV2Layout.h.
//
// Control ports are host changes, applied by one rule: a port acts only when its value differs
// from the last value this bridge saw on it. The first sight of a port takes the host's value when
// it differs from the parameter's; a moved port is stored (plain value through the parameter's
// constraint) and dispatched before the block's audio. A port that has not moved does nothing, so
// a change the plug-in made itself (a learned controller, a preset switch) is not undone by the
// host's stale port value, and the state the host saves holds it. After a state restore the
// ports' values at the next run become the new baseline without being applied: the restored
// parameter values win over the ports.
//
// A host block longer than the plug-in was prepared for is rendered in pieces of the prepared
// length, each MIDI event in the piece that holds its frame, so that nothing grows on the audio
// thread. Everything the host writes (sequences, objects, properties, MIDI bytes, state chunks,
// options) is checked before it is read; what does not fit is ignored or refused.
//
// An editor opened through the LV2 UI of the same module (instance-access) attaches itself as the
// instance's EditorPorts: the plug-in's own changes made on the editor's thread (gestures in the
// editor, preset switches from its menu) then also go to the host's control ports as the UI's
// writes, so the host's controls, automation and session follow. Until the editor's latest write
// shows on the port (or half a second of audio has passed), the port's moves are no changes: they
// are the editor's writes arriving, in whatever batches the host delivers them, and the plug-in
// already has the values (a float port would only round them). A wait that ends without the latest
// write on the port (the host's automation overrode the gesture, or the host did not take the write)
// takes the port's value: the host's control and the parameter end up agreeing.
//
// Threads (LV2 threading classes): Create, Destroy, Activate, Restore and SetOptions are
// "instantiation" calls, never concurrent with Run; Run is the audio thread; Save may run on any
// other thread, also during Run (it only reads atomic parameter values); Work is the host's
// worker thread, concurrent with Run.
class IPluginLV2 final : public IHostNotifications, public HostMidiOutput {
public:
  // The host's side of an open editor of this instance: its LV2 UI's port writes and touches.
  // Called only on the thread that attached it (the host's user-interface thread).
  class EditorPorts {
  public:
    virtual ~EditorPorts() = default;
    virtual void WriteControlPort(std::uint32_t port, float value) = 0;
    virtual void TouchControlPort(std::uint32_t port, bool grabbed) = 0;
    // The instance is being destroyed while the editor is still attached (a host that breaks the
    // rule that the UI goes first): the editor must close now. Called on the thread that ends the
    // instance, which may be another than the editor's, with EditorMutex() held.
    virtual void InstanceDestroyed() = 0;
  };

  // How long a port waits for the editor's latest write to come back (seconds of processed audio
  // after the write): meanwhile the port's moves are the editor's own writes arriving (or a host
  // value the user's gesture overrides).
  static constexpr double kEditorWriteEchoSeconds = 0.5;

  // Without maxBlockLength or nominalBlockLength the scratch buffers are made for this many
  // frames; a longer host block is rendered in pieces of this length.
  static constexpr int kDefaultMaxBlockSize = 4096;
  // The longest block length option taken, in frames.
  static constexpr int kMaxBlockLength = 1048576;
  // MIDI events of one block handed to the plug-in; later events of the block are dropped.
  static constexpr int kMaxMidiPerBlock = 1024;
  // Sample rates the plug-in runs at, in Hz. Far below, its 16 Hz high-pass lies at or above the
  // Nyquist frequency and turns unstable; far above, its frame buffers would take gigabytes.
  static constexpr double kMinSampleRate = 1000.0;
  static constexpr double kMaxSampleRate = 768000.0;

  // Instantiation thread. Null when the host gives no urid:map, the sample rate lies outside
  // kMinSampleRate ... kMaxSampleRate, or the plug-in cannot be made.
  static IPluginLV2* Create(double sampleRate, const LV2_Feature* const* features);
  ~IPluginLV2() override;

  IPluginLV2(const IPluginLV2&) = delete;
  IPluginLV2& operator=(const IPluginLV2&) = delete;

  // Any thread the host likes, not during Run.
  void ConnectPort(std::uint32_t port, void* data);
  // Instantiation thread: the host (re)starts processing; the plug-in forgets what it heard.
  void Activate();
  // Audio thread.
  void Run(std::uint32_t nFrames);

  // state:interface. Save: any non-audio thread; Restore: instantiation thread.
  LV2_State_Status Save(LV2_State_Store_Function store, LV2_State_Handle handle);
  LV2_State_Status Restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

  // options:interface; instantiation thread. SetOptions takes the block lengths (atom:Int, or
  // atom:Long, 1 ... kMaxBlockLength frames) and the sample rate (atom:Float or atom:Double, within
  // kMinSampleRate ... kMaxSampleRate); an option of another type, range or context is refused with
  // LV2_OPTIONS_ERR_BAD_VALUE and changes nothing, an unknown key gives LV2_OPTIONS_ERR_BAD_KEY.
  std::uint32_t GetOptions(LV2_Options_Option* options) const;
  std::uint32_t SetOptions(const LV2_Options_Option* options);

  // worker:interface; the host's worker thread: the plug-in's background work.
  LV2_Worker_Status Work(std::uint32_t size, const void* data);

  // The plug-in inside, for tests acting as the host.
  IPlugin* GetPlug() { return mPlug.get(); }

  // The instance behind a handle that this module's instantiate returned and that still exists, or
  // null: an LV2 UI checks what the host passes as its instance before using it.
  static IPluginLV2* FromHandle(const void* handle);

  // The editor side of every instance, one thread at a time: each call into an LV2 UI of this module
  // holds this lock, and so does the end of an instance, so that a host ending an instance on one
  // thread while its UI works on another (or ending it before the UI) never leaves the UI with half
  // an instance. Recursive, for a host that calls the UI back from inside one of its callbacks.
  // Never taken on the audio thread.
  static std::recursive_mutex& EditorMutex();

  // User-interface thread: the open editor's port writes. Detaching takes only that editor off.
  void AttachEditorPorts(EditorPorts* editor);
  void DetachEditorPorts(EditorPorts* editor);

  // The control port of a parameter (0: it has none) and the parameter of a control port (-1: none).
  std::uint32_t ControlPortOf(int paramIdx) const;
  int ParamOfControlPort(std::uint32_t port) const;
  // The value the audio thread last read on a control port, which the bridge has taken into account
  // (applied, or recognised as the editor's own); false before the first run that read the port.
  // Any thread.
  bool LastSeenPortValue(std::uint32_t port, float& value) const;
  // Runs completed so far. Once it has grown by two since a moment, a whole run has read the ports
  // after that moment. Any thread.
  std::uint64_t RunCount() const { return mRunCount.load(std::memory_order_acquire); }

  // The plug-in's own changes (learned controllers, editor gestures, preset switches): the host
  // hears of them as a state:StateChanged event at the end of the next run. Any thread.
  void InformHostOfParamChange(int paramIdx, double normalizedValue) override;
  void InformHostOfPresetChange() override;
  // A gesture in the editor begins and ends: the host's touch (ui:touch) through the editor.
  void BeginInformHostOfParamChange(int paramIdx) override;
  void EndInformHostOfParamChange(int paramIdx) override;
  // The host's worker, when it offers one and the call comes from inside Run (where LV2 allows
  // scheduling); false otherwise, and the plug-in does the work itself.
  bool ScheduleBackgroundWork() override;

  // MIDI the plug-in sends during a render call, written to the events output. Audio thread.
  void SendMidi(const IMidiMsg& msg) override;

private:
  struct URIDs {
    LV2_URID atomBlank;
    LV2_URID atomChunk;
    LV2_URID atomDouble;
    LV2_URID atomFloat;
    LV2_URID atomInt;
    LV2_URID atomLong;
    LV2_URID atomObject;
    LV2_URID atomSequence;
    LV2_URID midiEvent;
    LV2_URID timePosition;
    LV2_URID timeBeatsPerMinute;
    LV2_URID timeFrame;
    LV2_URID timeSpeed;
    LV2_URID stateChanged;
    LV2_URID stateChunk;
    LV2_URID maxBlockLength;
    LV2_URID nominalBlockLength;
    LV2_URID sampleRate;
  };

  // One control input port and what this bridge last saw on it.
  struct ControlPort {
    int paramIdx = 0;
    const float* data = nullptr;
    float lastSeen = 0.0f;
    bool seen = false; // false until the first run that reads the port
    // lastSeen's bits with bit 32 set once seen, for other threads.
    std::atomic<std::uint64_t> lastSeenShared{0};
    // The editor's latest write (float bits) and the number of its writes; the user-interface
    // thread stores the value, then publishes the count (release).
    std::atomic<std::uint32_t> editorWrite{0};
    std::atomic<std::uint32_t> editorWriteCount{0};
    // Audio thread: the writes up to this count have come back (or expired); the count at the start
    // of the run, and the frames processed since it last changed.
    std::uint32_t editorWritesSettled = 0;
    std::uint32_t editorWritesNoticed = 0;
    std::int64_t framesSinceEditorWrite = 0;
    // The editor's latest write never showed on the port: the next run takes the port's value.
    bool takePortValue = false;
  };

  IPluginLV2(const LV2_URID_Map& map, std::unique_ptr<IPlugin> plug, double sampleRate);

  void applyControlPorts();
  void noticeEditorWrites();
  void ageEditorWrites(std::uint32_t nFrames);
  // The attached editor when called on its thread, else null.
  EditorPorts* editorOnThisThread() const;
  void writeToEditorPort(EditorPorts& editor, int paramIdx);
  void readEvents(const LV2_Atom_Sequence* sequence, std::uint32_t nFrames, bool withMidi);
  void readMidi(const LV2_Atom& event, std::int64_t frame);
  void readPosition(const LV2_Atom& position, std::int64_t offset);
  // `last`: the piece that ends the host block.
  void renderPiece(std::uint32_t start, std::uint32_t nFrames, bool last);
  bool atomNumber(const LV2_Atom& atom, double& value) const;
  bool optionNumber(const LV2_Options_Option& option, double& value) const;
  bool isBlockLengthKey(LV2_URID key) const;
  // A block length or sample rate option of the right context, type and range; false otherwise.
  bool blockLengthOption(const LV2_Options_Option& option, int& frames) const;
  bool sampleRateOption(const LV2_Options_Option& option, double& rate) const;
  void beginEventsOut();
  void endEventsOut();
  bool reserveEventsOut(std::uint32_t bodySize);

  std::unique_ptr<IPlugin> mPlug;
  URIDs mURIDs{};
  double mSampleRate;

  const float* mAudioIn[2] = {nullptr, nullptr};
  float* mAudioOut[2] = {nullptr, nullptr};
  const LV2_Atom_Sequence* mEventsIn = nullptr;
  LV2_Atom_Sequence* mEventsOut = nullptr;
  const LV2_Atom_Sequence* mTimeIn = nullptr;
  std::vector<ControlPort> mControls; // in port order; never resized after construction
  std::vector<std::int32_t> mControlOfPort; // port index -> index into mControls, or -1
  std::uint32_t mTimeInPort = 0; // after the control ports

  const LV2_Worker_Schedule* mWorkSchedule = nullptr; // null: the host offers no worker

  // The thread inside Run, none outside: only that thread finds its own id here.
  std::atomic<std::thread::id> mRunThread{};
  std::atomic<std::uint64_t> mRunCount{0};

  std::atomic<EditorPorts*> mEditor{nullptr};
  std::atomic<std::thread::id> mEditorThread{};

  // Set by a restore: the next run takes the ports' values as its baseline.
  std::atomic<bool> mAdoptPortValues{false};
  // Set by the plug-in's own changes; the next run tells the host.
  std::atomic<bool> mStateChanged{false};

  // The host's transport as the last time:Position told it; the position is the one at the start
  // of the next block, in frames, advanced by the speed after every block.
  bool mHasTempo = false;
  bool mHasPosition = false;
  double mTempo = 120.0; // beats per minute
  double mPosition = 0.0;
  double mSpeed = 0.0; // 1 while rolling, 0 when stopped
  HostTransport mTransport;

  std::vector<HostMidiEvent> mMidi; // the host block's, frames in the block; capacity kMaxMidiPerBlock
  std::vector<HostMidiEvent> mPieceMidi; // one piece's, frames in the piece; same capacity

  LV2_Atom_Forge mForge{};
  LV2_Atom_Forge_Frame mSequenceFrame{};
  bool mEventsOutOpen = false; // the output sequence is being written in this run
  std::int64_t mLastOutFrame = 0; // events must be written in time order
  std::int64_t mLastFrameOfBlock = 0;
  std::int64_t mPieceStart = 0; // frame of the host block where the piece being rendered starts
};

// The descriptor of the plug-in, as lv2_descriptor(0) returns it.
const LV2_Descriptor* Descriptor();

} // namespace plug::lv2
