// SPDX-License-Identifier: ISC
// The plug-in as every host format makes it: Quennet with its editor side.

#include <mutex>

#include "core/quennet.h"
#include "editor/quennet.editor.h"

// Instances are constructed one at a time, process-wide.
plug::IPlugin* plug::MakePlug(const plug::InstanceInfo& info)
{
  static std::mutex sMutex;
  std::lock_guard lock(sMutex);
  try {
    auto plugin = std::make_unique<Quennet>(info);
    QuennetEditor::install(*plugin);
    return plugin.release();
  } catch (...) {
    return nullptr; // nothing may escape into the host
  }
}
