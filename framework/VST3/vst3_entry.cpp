// SPDX-License-Identifier: ISC
// The VST3 module's only exported symbols, the host's ways in: the plug-in factory, and the entry and
// exit calls that Linux hosts make when they load and unload the module. The editor (VST3View) is
// installed here, so that the bridge itself needs no graphics.
#include <dlfcn.h>

#include "framework/VST3/IPluginVST3.h"
#include "framework/VST3/VST3Factory.h"
#include "framework/VST3/VST3View.h"

#define QUENNET_VST3_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// Cairo and its pixel library allocate tables when they are loaded and never free them: a host that
// scans by loading and unloading the module again and again would lose them each time. Once loaded
// with this module, Cairo stays loaded. Loading libraries opens nothing: no display is touched.
[[maybe_unused]] const bool kCairoKept = dlopen("libcairo.so.2", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;

void installEditor()
{
  plug::vst3::IPluginVST3::SetViewFactory(&plug::vst3::VST3View::Create);
}
} // namespace

QUENNET_VST3_EXPORT void* GetPluginFactory()
{
  installEditor();
  return plug::vst3::Factory();
}

// The host's handle of the loaded module; nothing to set up beyond the editor.
QUENNET_VST3_EXPORT bool ModuleEntry(void*)
{
  installEditor();
  return true;
}

QUENNET_VST3_EXPORT bool ModuleExit()
{
  return true;
}
