// SPDX-License-Identifier: ISC
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "framework/IPluginBase.h"
#include "framework/LockFreeQueue.h"
#include "base/RunLoop.h"

namespace plug {

// What a host format offers for hearing about the plug-in's own changes. The bridge that hosts
// an instance attaches one; without it the notifications go nowhere (the offline renderer).
class IHostNotifications {
public:
  virtual ~IHostNotifications() = default;
  virtual void InformHostOfParamChange(int paramIdx, double normalizedValue) = 0;
  virtual void BeginInformHostOfParamChange(int /*paramIdx*/) {}
  virtual void EndInformHostOfParamChange(int /*paramIdx*/) {}
  virtual void InformHostOfPresetChange() {}
  // Asks the host to call the plug-in's OnBackgroundWork() soon, on a thread of the host's that
  // may block (LV2's worker). False when the host has no such thread or cannot take the request
  // now: the caller then does the work itself. Audio thread.
  virtual bool ScheduleBackgroundWork() { return false; }
};

// The paths by which parameter changes travel between host, editor and plug-in, and the 20 ms
// timer that carries the processing side's updates to the editor on the user-interface thread.
class IPluginAPIBase : public IPluginBase {
public:
  static constexpr double kTimerIntervalMs = 20.0;
  static constexpr int kMidiQueueCapacity = 1024;

  explicit IPluginAPIBase(const Config& config);
  ~IPluginAPIBase() override;

  // The plug-in itself (a learned controller): store, tell the host, dispatch. Calling thread.
  void SetParameterValue(int paramIdx, double normalizedValue);
  // An editor control the user moved. User-interface thread.
  void SendParameterValueFromUI(int paramIdx, double normalizedValue) override;
  void BeginInformHostOfParamChangeFromUI(int paramIdx) override;
  void EndInformHostOfParamChangeFromUI(int paramIdx) override;
  void SendParameterValueFromDelegate(int paramIdx, double value, bool normalized) override;
  // Asks for an editor update of a change made off the user-interface thread (the host's, or the
  // plug-in's own on the audio thread). The next timer tick shows the parameter's value as it is
  // then: changes coalesce, however many arrive and however long no editor is open, so the editor
  // never shows an older value (store the value before asking). `value` and `normalized` are what
  // the caller stored; they are not needed. Any thread; never blocks, never allocates.
  void SendParameterValueFromAPI(int paramIdx, double value, bool normalized);

  // A host change arriving through a bridge, on the host's thread: store, queue the editor
  // update, dispatch. The plain form stores a value the host gives in the parameter's own unit.
  void SetParameterFromHost(int paramIdx, double normalizedValue);
  void SetParameterFromHostPlain(int paramIdx, double plainValue);

  virtual void InformHostOfParamChange(int paramIdx, double normalizedValue);
  virtual void InformHostOfPresetChange();
  void SetHostNotifications(IHostNotifications* host) { mHost.store(host, std::memory_order_release); }

  // Called by the timer on the user-interface thread, whether or not an editor is open.
  virtual void OnIdle() {}

  // Work that must stay off the audio thread (a file write): true when the host took it over and
  // will call OnBackgroundWork() on a thread of its own; false: the caller does it now.
  bool ScheduleBackgroundWork();
  // The host's background thread, once for every ScheduleBackgroundWork() that returned true.
  virtual void OnBackgroundWork() {}

  // MIDI the editor sends to the processor (user-interface thread).
  bool SendMidiMsgFromUI(const IMidiMsg& msg) { return mMidiFromEditor.Push(msg); }

  // One timer tick: the editor updates asked for (each parameter's value as it is now), MIDI for
  // the editor, then OnIdle.
  void OnTimer();
  // Removes the timer; waits for a tick running on another thread. The most-derived destructor
  // calls it first, so that no tick reaches a half-destroyed instance.
  void StopTimer();

protected:
  LockFreeQueue<IMidiMsg> mMidiToEditor{kMidiQueueCapacity};
  LockFreeQueue<IMidiMsg> mMidiFromEditor{kMidiQueueCapacity};

private:
  void showOnEditor(const IParam& param, int paramIdx, double value, bool normalized);

  std::atomic<IHostNotifications*> mHost{nullptr};
  RunLoop::TimerId mTimer = 0;
  // Editor updates asked for since the last tick: bit i % 64 of word i / 64 for parameter i.
  std::unique_ptr<std::atomic<std::uint64_t>[]> mEditorUpdates;
  int mEditorUpdateWords = 0;
};

} // namespace plug
