// SPDX-License-Identifier: ISC
// The plug-in as every host format makes it: Quennet with its editor side.

#include <memory>
#include <mutex>

#include "core/quennet.h"
#include "editor/quennet.editor.h"

namespace quennet {
namespace {
// Instances are constructed one at a time, process-wide.
plug::IPlugin* makeWithEditor(const plug::InstanceInfo& info)
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
} // namespace
} // namespace quennet

plug::IPlugin* plug::MakePlug(const plug::InstanceInfo& info)
{
  return quennet::makeWithEditor(info);
}
