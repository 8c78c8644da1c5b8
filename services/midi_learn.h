// SPDX-License-Identifier: ISC
#pragma once

#include <array>
#include <atomic>
#include <string>

namespace quennet {

// The per-user configuration file ("quennet.ini", shared by every instance) and the MIDI-learn
// state machine that edits its controller map. The file lives in the folder "TarnwellMusic" of
// the user's configuration folder: $XDG_CONFIG_HOME, or ~/.config (the XDG base directory rules).
//
// Sections: "MIDI Control" holds "CC<n>" = parameter index for each assigned controller 0 ... 119;
// "Editor" holds "Scale", the editor's draw scale.
//
// Threads: controllers arrive on the audio thread, parameter captures and the learn switch on the
// user-interface or host threads. The map and the learn state are atomics; a learn completes
// exactly once, on whichever thread supplies its last piece, and writes the file there unless a
// save deferral takes the write over.
class MidiLearnConfig {
public:
  static constexpr int kNumControllers = 120; // 120 ... 127 are channel-mode messages
  static constexpr float kDefaultScale = 0.5f;

  MidiLearnConfig();

  // Finds (and if needed creates) the folder and the file in the user's configuration folder,
  // and loads the file when it existed. The folder gets mode 0774 whatever the umask (which stays
  // untouched: it belongs to the host process); a missing configuration folder is made private
  // (0700), with its missing parents when XDG_CONFIG_HOME names it, while ~/.config needs an
  // existing home folder. Without a configuration folder, or when the folder or the file cannot
  // be made, the settings live in memory only: nothing is read or written afterwards.
  void locate();
  // The home folder: $HOME, else the password database's; empty when there is none.
  static std::string homeFolder();
  // The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else ".config"
  // in the home folder; no trailing slash; empty when there is neither.
  static std::string configHome();

  bool loadConfig();
  // Writes the map and the scale; false when the file could not be written (the settings stay in
  // memory and the next save tries again). True without a configuration file: nothing to write.
  bool saveConfig();

  // Lets a completed learn hand its file write elsewhere (off the audio thread): `defer(context)`
  // returns true when it took the write over and will call saveConfig() later, false to have the
  // learn write at once. Set while no other thread uses the instance.
  using SaveDeferral = bool (*)(void* context);
  void setSaveDeferral(SaveDeferral defer, void* context)
  {
    mSaveDeferral = defer;
    mSaveDeferralContext = context;
  }

  void doMidiLearn(bool on);
  void doMidiUnlearn(bool on);
  // Capture a parameter or a controller while armed; true when this call completed the learn.
  bool setMidiLearnParam(int paramIdx);
  bool setMidiLearnCC(int controller);
  // Advances the state machine; true when this call completed a learn or an unlearn.
  bool applyMidiLearn();

  bool learnActive() const { return mLearnActive.load(); }
  bool unlearnMode() const { return mUnlearn.load(); }
  int learnCC() const { return mLearnCC.load(); }
  int learnParam() const { return mLearnParam.load(); }

  // The parameter assigned to a controller, or -1. Audio thread.
  int controllerParam(int controller) const;
  void setControllerParam(int controller, int paramIdx);

  // The scale the editor opens at: as read from the file, or as the editor's size menu last set it.
  float preferredScale() const { return mPreferredScale.load(std::memory_order_relaxed); }
  void setPreferredScale(float scale) { mPreferredScale.store(scale, std::memory_order_relaxed); }
  // The open editor's draw scale, written by saveConfig; 0 (or below) when no editor is open,
  // and then the preferred scale is written instead.
  void setEditorScale(float scale) { mEditorScale.store(scale, std::memory_order_relaxed); }

  // Set when a learn completed; the user-interface timer turns the learn switch off and clears it.
  bool takeSwitchResetRequest() { return mSwitchResetRequested.exchange(false, std::memory_order_acq_rel); }
  bool switchResetRequested() const { return mSwitchResetRequested.load(std::memory_order_acquire); }

  // The file's full path (what the editor names after saving the window size); empty while the
  // settings live in memory only.
  const std::string& configPath() const { return mConfigPath; }

private:
  void arm(bool unlearn, bool on);

  std::string mConfigPath; // empty: settings in memory only
  std::array<std::atomic<int>, kNumControllers> mControllerMap;
  // Learn state. Sequentially consistent: a controller and a parameter captured on two threads at
  // once must not both miss the other's capture, or the learn would not complete.
  std::atomic<bool> mLearnActive{false};
  std::atomic<bool> mUnlearn{false};
  std::atomic<int> mLearnCC{-1};
  std::atomic<int> mLearnParam{-1};
  std::atomic<float> mPreferredScale{kDefaultScale};
  std::atomic<float> mEditorScale{0.0f};
  std::atomic<bool> mSwitchResetRequested{false};
  SaveDeferral mSaveDeferral = nullptr;
  void* mSaveDeferralContext = nullptr;
};

} // namespace quennet
