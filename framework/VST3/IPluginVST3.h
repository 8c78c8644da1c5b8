// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "framework/HostBlock.h"
#include "framework/IPlugin.h"
#include "framework/ProcessingThread.h"
#include "framework/VST3/BlockEvents.h"
#include "framework/VST3/Com.h"
#include "travesty/audio_processor.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/unit.h"

namespace plug::vst3 {

// The VST3 bridge: one object that is both the audio processor (IComponent, IAudioProcessor) and
// the edit controller (IEditController, IMidiMapping, IUnitInfo) of one plug-in instance from
// MakePlug. It turns the host's buffers, events, parameter changes, transport and state into the
// framework's calls and back; the plug-in never sees a VST3 type. Ids and the state layout:
// VST3Layout.h.
//
// - Parameters: the plug-in's parameters under their indices (the reserved ones hidden and
//   read-only), the factory presets as a program change parameter with a program list, and one
//   hidden parameter per MIDI controller that IMidiMapping hands the host. Texts: ParamText.h.
// - Host changes arrive with process(): the last point of each parameter's queue is stored and
//   dispatched before the block's audio (a value the parameter already has, to single precision,
//   changes nothing);
//   controller points become controller messages at their frames. setParamNormalized only shows the
//   value on the editor: VST3 hosts send every change to the processor too.
// - The plug-in's own changes go back to the host: from the user-interface thread (the editor's
//   gestures, its preset menu and "Reset Current Preset") as beginEdit, performEdit and endEdit on
//   the component handler; from the audio thread (a learned controller) as output parameter changes
//   of the running process call. The host sends the editor's edits back to the processor; until
//   the latest one has come back (or half a second of audio has passed) a parameter's incoming
//   changes are those edits arriving, not host changes, and are not applied again.
// - Presets: the host's program change (setParamNormalized of the preset parameter) switches preset
//   as the editor's menu does (the slot left keeps its edits). The values a preset or state the host
//   set brings go back to the host with the next process call, as output parameter changes.
// - MIDI: note-on and note-off events, and controllers, sorted by frame into one HostBlock: one
//   render call per host block. A block longer than prepared is rendered in pieces of the prepared
//   length, so that nothing grows on the audio thread.
// - The editor: createView makes the view that the module installed (SetViewFactory); the bridge
//   itself needs no graphics.
//
// Threads (VST3's): construction, initialize, the controller's calls, setState/getState, setActive
// and setupProcessing come on the host's user-interface thread (getState and setState may also run
// on another non-audio thread, also during process); process is the audio thread.
class IPluginVST3 final : public IHostNotifications, public RefCount<IPluginVST3> {
public:
  static constexpr double kMinSampleRate = 1000.0;
  static constexpr double kMaxSampleRate = 768000.0;
  static constexpr int kMaxBlockSize = 1 << 20;
  static constexpr double kEditorWriteEchoSeconds = 0.5;
  // Host changes closer than this to a parameter's normalised value are the value it has, sent back
  // by a host that holds it in single precision (a few of a float's steps near 1).
  static constexpr double kSameValueTolerance = 1e-6;
  // The host's parameter queues read per block; more are ignored.
  static constexpr int kMaxParamQueues = 4096;

  // Makes the view of createView("editor"); null: no editor. Returns the view with one reference.
  using ViewFactory = v3_plugin_view** (*)(IPluginVST3& bridge);
  static void SetViewFactory(ViewFactory factory);

  // A new instance with one reference; null when the plug-in cannot be made.
  static IPluginVST3* Create();

  IPluginVST3(const IPluginVST3&) = delete;
  IPluginVST3& operator=(const IPluginVST3&) = delete;

  // The object model (Ref and Unref from RefCount). Any thread.
  v3_result QueryInterface(const v3_tuid iid, void** obj);

  // The plug-in inside, for the view and for tests acting as the host.
  IPlugin& Plug() { return *mPlug; }
  // The interfaces, as a host holds them.
  v3_component** Component() { return reinterpret_cast<v3_component**>(&mComponent); }
  v3_audio_processor** Processor() { return reinterpret_cast<v3_audio_processor**>(&mProcessor); }
  v3_edit_controller** Controller() { return reinterpret_cast<v3_edit_controller**>(&mController); }

  // IPluginBase (both the component's and the controller's).
  v3_result Initialize(v3_funknown** context);
  v3_result Terminate();

  // IComponent.
  std::int32_t GetBusCount(std::int32_t mediaType, std::int32_t direction) const;
  v3_result GetBusInfo(std::int32_t mediaType, std::int32_t direction, std::int32_t index, v3_bus_info* info) const;
  v3_result ActivateBus(std::int32_t mediaType, std::int32_t direction, std::int32_t index, bool state);
  v3_result SetActive(bool state);
  v3_result SetState(v3_bstream** stream);
  v3_result GetState(v3_bstream** stream);

  // IAudioProcessor.
  v3_result SetBusArrangements(const v3_speaker_arrangement* inputs, std::int32_t numInputs,
                               const v3_speaker_arrangement* outputs, std::int32_t numOutputs);
  v3_result GetBusArrangement(std::int32_t direction, std::int32_t index, v3_speaker_arrangement* arrangement) const;
  v3_result SetupProcessing(const v3_process_setup* setup);
  v3_result SetProcessing(bool state);
  // Audio thread.
  v3_result Process(v3_process_data* data);

  // IEditController. User-interface thread.
  v3_result SetComponentState(v3_bstream** stream);
  std::int32_t GetParameterCount() const;
  v3_result GetParameterInfo(std::int32_t index, v3_param_info* info) const;
  v3_result GetParamStringByValue(v3_param_id id, double normalized, v3_str_128 text) const;
  v3_result GetParamValueByString(v3_param_id id, const std::int16_t* text, double* normalized) const;
  double NormalizedToPlain(v3_param_id id, double normalized) const;
  double PlainToNormalized(v3_param_id id, double plain) const;
  double GetParamNormalized(v3_param_id id) const;
  v3_result SetParamNormalized(v3_param_id id, double normalized);
  v3_result SetComponentHandler(v3_component_handler** handler);
  v3_plugin_view** CreateView(const char* name);

  // IMidiMapping.
  v3_result GetMidiControllerAssignment(std::int32_t bus, std::int16_t channel, std::int16_t controller,
                                        v3_param_id* id) const;

  // IUnitInfo.
  v3_result GetUnitInfo(std::int32_t index, v3_unit_info* info) const;
  v3_result GetProgramListInfo(std::int32_t index, v3_program_list_info* info) const;
  v3_result GetProgramName(std::int32_t listId, std::int32_t program, v3_str_128 name) const;

  // IHostNotifications: the plug-in's own changes, told to the host (see above).
  void InformHostOfParamChange(int paramIdx, double normalizedValue) override;
  void BeginInformHostOfParamChange(int paramIdx) override;
  void EndInformHostOfParamChange(int paramIdx) override;
  void InformHostOfPresetChange() override;

private:
  // The latest edits the editor sent to the host for one parameter, and how far the audio thread
  // has seen them come back.
  struct EditorWrites {
    // User-interface thread writes the value (the normalised value's float bits), then publishes
    // the count (release).
    std::atomic<std::uint32_t> latest{0};
    std::atomic<std::uint32_t> count{0};
    // Audio thread.
    std::uint32_t noticed = 0;
    std::uint32_t settled = 0;
    std::int64_t framesSince = 0;
  };

  friend class RefCount<IPluginVST3>; // the last Unref deletes the bridge

  explicit IPluginVST3(std::unique_ptr<IPlugin> plug);
  ~IPluginVST3() override;

  // The kind of parameter behind a host id.
  enum class ParamKind { kPlugin, kPreset, kController, kNone };
  ParamKind kindOf(v3_param_id id) const;
  bool isHostedPluginParam(int paramIdx) const;

  // Process.
  void readParameterChanges(v3_param_changes** changes);
  void applyHostChange(int paramIdx, double normalized);
  void noticeEditorWrites();
  void ageEditorWrites(int nFrames);
  void fillTransport(const v3_process_context* context);
  void renderPiece(const v3_process_data& data, int start, int nFrames, bool last);
  void sendOutputChange(v3_param_id id, double normalized);
  // After a preset or state the host set, the next process call sends every value back to the host
  // as output parameter changes. A restartComponent would do it at once, but some hosts (Ardour 7)
  // deadlock when it comes from inside their setState or program change.
  void tellHostValuesLater();
  void sendAllValues();

  // State.
  bool readState(v3_bstream** stream, std::vector<std::uint8_t>& bytes) const;
  bool restoreState(const std::vector<std::uint8_t>& bytes);

  // The user-interface thread's calls to the host.
  void performEdit(int paramIdx, double normalized);
  void performPresetEdit();

  Interface<v3_component_cpp, IPluginVST3> mComponent;
  Interface<v3_audio_processor_cpp, IPluginVST3> mProcessor;
  Interface<v3_process_context_requirements_cpp, IPluginVST3> mContextRequirements;
  Interface<v3_edit_controller_cpp, IPluginVST3> mController;
  Interface<v3_midi_mapping_cpp, IPluginVST3> mMidiMapping;
  Interface<v3_unit_information_cpp, IPluginVST3> mUnitInfo;

  std::unique_ptr<IPlugin> mPlug;

  // Host side of the controller; user-interface thread.
  std::atomic<v3_component_handler**> mHandler{nullptr};
  std::vector<char> mGesture; // by parameter: a gesture of the editor's is in progress
  std::atomic<int> mHostProgram{0}; // the program the host last chose or was told of
  std::atomic<bool> mValuesForHost{false}; // see tellHostValuesLater

  // Processing state.
  std::atomic<bool> mActive{false};
  ProcessingThread mProcessing; // the thread inside Process, if any
  bool mPrepared = false;
  double mSampleRate = 44100.0;
  std::atomic<bool> mEventBusActive{true};
  std::unique_ptr<EditorWrites[]> mEditorWrites; // by parameter
  std::unique_ptr<std::atomic<double>[]> mControllerValues; // by controller, normalised
  BlockEvents mEvents;
  std::vector<HostMidiEvent> mPieceEvents; // capacity BlockEvents::kCapacity
  HostTransport mTransport;
  bool mHasTransport = false;
  v3_param_changes** mOutputChanges = nullptr; // of the running process call
};

} // namespace plug::vst3
