// SPDX-License-Identifier: ISC
#pragma once

#include <vector>

#include "framework/IEditorDelegate.h"
#include "framework/IPluginAPIBase.h"

// Records what a plug-in tells its host.
struct HostRecorder : plug::IHostNotifications {
  struct Change {
    int paramIdx;
    double normalizedValue;
  };
  std::vector<Change> changes;
  std::vector<int> touched;
  std::vector<int> released;
  int presetChanges = 0;

  void InformHostOfParamChange(int paramIdx, double normalizedValue) override
  {
    changes.push_back({paramIdx, normalizedValue});
  }
  void BeginInformHostOfParamChange(int paramIdx) override { touched.push_back(paramIdx); }
  void EndInformHostOfParamChange(int paramIdx) override { released.push_back(paramIdx); }
  void InformHostOfPresetChange() override { ++presetChanges; }
};

// An editor that remembers what its controls were told.
struct EditorRecorder : plug::IEditorView {
  struct Update {
    int paramIdx;
    double normalizedValue;
  };
  bool open = true;
  std::vector<Update> updates;
  std::vector<plug::IMidiMsg> midi;

  bool WindowIsOpen() const override { return open; }
  void SetParameterValueFromDelegate(int paramIdx, double normalizedValue) override
  {
    updates.push_back({paramIdx, normalizedValue});
  }
  void ForwardMidiMsg(const plug::IMidiMsg& msg) override { midi.push_back(msg); }
};
