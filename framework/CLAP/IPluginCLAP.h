// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include <clap/entry.h>
#include <clap/ext/gui.h>
#include <clap/ext/params.h>
#include <clap/ext/state.h>
#include <clap/ext/timer-support.h>
#include <clap/plugin-factory.h>

#include "framework/CLAP/ClapPosixFdSupport.h"
#include "framework/HostBlock.h"
#include "framework/IPlugin.h"
#include "framework/ProcessingThread.h"
#include "framework/LockFreeQueue.h"

namespace plug::clap {

class ClapEditor;

// The CLAP bridge: one clap_plugin owning one plug-in instance from MakePlug. It turns the host's
// buffers, events, transport and state into the framework's calls and back; the plug-in never sees
// a CLAP type. Ids and the state layout: CLAPLayout.h.
//
// - Parameters: the parameters with a kind, plain values, ids from CLAPLayout.h. The host's value
//   events (process or flush) are host changes: stored, queued for the editor, dispatched before
//   the block's audio. Text conversion both ways through the parameter's display rules.
// - Changes the plug-in makes itself go to the host as output events: the editor's gestures (begin,
//   value, end), preset choices and resets (a gesture around every parameter), learned MIDI
//   controllers (values marked "don't record"). From the main thread they wait in a queue for the
//   next process or flush, which the bridge asks the host for.
// - Notes: one note input (MIDI dialect preferred; CLAP note events are taken as MIDI notes). The
//   block's events go to the render call sorted by frame, each at its frame.
// - A block longer than the host announced at activation is rendered in pieces of that length, so
//   nothing grows on the audio thread; events in the piece that holds their frame.
// - State: the plug-in's state chunk; a stream of any other length is refused, nothing changed.
// - Editor: ClapEditor (clap.gui, X11 embedded), driven by the host's timer and fd support.
//
// Threads as CLAP names them: [main-thread] calls on the host's main thread, which is also the
// plug-in's user-interface thread; process, reset and (while active) flush on the audio thread.
class IPluginCLAP final : public IHostNotifications {
public:
  // Events of one block handed to the plug-in; later ones of the block are dropped.
  static constexpr int kMaxEventsPerBlock = 1024;
  // Changes waiting for the host (main thread to process/flush, and the audio thread's own).
  static constexpr int kToHostCapacity = 1024;
  static constexpr double kMinSampleRate = 1000.0;
  static constexpr double kMaxSampleRate = 768000.0;
  static constexpr std::uint32_t kMaxBlockLength = 1048576;
  // The plug-in's 20 ms timer and the editor's frames run on the host's timer at this period.
  static constexpr std::uint32_t kTimerPeriodMs = 20;

  // [main-thread] The clap_plugin for the factory; null for a host without the basics.
  static const clap_plugin_t* Create(const clap_host_t* host);

  IPluginCLAP(const IPluginCLAP&) = delete;
  IPluginCLAP& operator=(const IPluginCLAP&) = delete;

  // clap_plugin. [main-thread] unless said.
  bool Init();
  void Destroy();
  bool Activate(double sampleRate, std::uint32_t minFrames, std::uint32_t maxFrames);
  void Deactivate();
  // [audio-thread]
  bool StartProcessing();
  void StopProcessing();
  void Reset();
  clap_process_status Process(const clap_process_t& process);
  const void* GetExtension(const char* id);
  void OnMainThread();

  // clap.params. Flush: [active ? audio-thread : main-thread], never during process.
  std::uint32_t ParamsCount() const;
  bool ParamInfo(std::uint32_t index, clap_param_info_t& info) const;
  bool ParamValue(clap_id id, double& value) const;
  bool ValueToText(clap_id id, double value, char* display, std::uint32_t size) const;
  bool TextToValue(clap_id id, const char* display, double& value) const;
  void Flush(const clap_input_events_t* in, const clap_output_events_t* out);

  // clap.state
  bool SaveState(const clap_ostream_t& stream) const;
  bool LoadState(const clap_istream_t& stream);

  // clap.timer-support, clap.posix-fd-support
  void OnTimer(clap_id timer);
  void OnFd(int fd, clap_posix_fd_flags_t flags);

  // IHostNotifications: the plug-in's own changes. From the render call (a learned controller) on
  // the audio thread; otherwise from the main thread (the editor).
  void InformHostOfParamChange(int paramIdx, double normalizedValue) override;
  void BeginInformHostOfParamChange(int paramIdx) override;
  void EndInformHostOfParamChange(int paramIdx) override;
  void InformHostOfPresetChange() override;
  bool ScheduleBackgroundWork() override;

  // For the editor and tests.
  IPlugin* GetPlug() { return mPlug.get(); }
  const clap_host_t* Host() const { return mHost; }
  template <typename T>
  const T* HostExtension(const char* id) const
  {
    return mHost->get_extension ? static_cast<const T*>(mHost->get_extension(mHost, id)) : nullptr;
  }
  ClapEditor* Editor() { return mEditor.get(); }
  // [main-thread] clap.gui's create and destroy.
  void SetEditor(std::unique_ptr<ClapEditor> editor);
  // [main-thread] The editor's X connection: watched through posix-fd-support when the host has it.
  void WatchEditorConnection(int fd);

  static IPluginCLAP* From(const clap_plugin_t* plugin);

private:
  struct ToHost {
    enum Kind : std::uint8_t { kValue, kBegin, kEnd } kind;
    bool dontRecord;
    std::uint32_t id;
    double value; // plain
  };

  explicit IPluginCLAP(const clap_host_t* host);
  ~IPluginCLAP() override;

  void readEvents(const clap_input_events_t* in, std::uint32_t nFrames, bool withNotes);
  void applyHostValue(const clap_event_header_t& header);
  void readMidi(const clap_event_header_t& header, std::uint32_t nFrames);
  void readNote(const clap_event_header_t& header, std::uint32_t nFrames);
  void addMidi(std::uint32_t time, std::uint32_t nFrames, std::uint8_t status, std::uint8_t data1, std::uint8_t data2);
  void readTransport(const clap_event_transport_t* transport);
  void renderPiece(const clap_process_t& process, std::uint32_t start, std::uint32_t nFrames, bool last);
  void toHostFromMainThread(const ToHost& change);
  void writeToHost(const clap_output_events_t* out);
  static void pushToHost(const clap_output_events_t* out, const ToHost& change);
  void askForFlush();
  void stopTimer();

  clap_plugin_t mClapPlugin{};
  const clap_host_t* mHost;
  std::unique_ptr<IPlugin> mPlug;
  std::unique_ptr<ClapEditor> mEditor;

  double mSampleRate = 48000.0;
  std::atomic<bool> mActive{false};
  ProcessingThread mProcessing; // the thread inside Process, if any
  bool mTimerRegistered = false;
  clap_id mTimerId = 0;
  int mWatchedFd = -1;

  // Main thread to the host's next process or flush.
  LockFreeQueue<ToHost> mToHost{kToHostCapacity};
  // The audio thread's own changes during one process call (learned controllers).
  std::vector<ToHost> mFromAudio; // capacity kToHostCapacity, never grown
  std::atomic<bool> mMarkDirty{false}; // the main thread tells the host the state changed
  std::atomic<bool> mBackgroundWork{false}; // the main thread runs the plug-in's background work

  std::vector<HostMidiEvent> mEvents; // the block's, frames in the block; capacity kMaxEventsPerBlock
  std::vector<std::uint32_t> mEventOrder; // arrival order, to keep equal frames in that order
  std::vector<HostMidiEvent> mPieceEvents; // one piece's, frames in the piece
  HostTransport mTransport;
  bool mHasTransport = false;
};

// The plug-in factory and the module's entry, as clap_entry exports them.
const clap_plugin_factory_t* Factory();
const clap_plugin_descriptor_t* Descriptor();

} // namespace plug::clap
