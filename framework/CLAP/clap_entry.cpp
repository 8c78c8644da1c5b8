// SPDX-License-Identifier: ISC
// The CLAP module's only exported symbol, the host's way in: the plug-in factory.
#include <dlfcn.h>

#include <cstring>

#include <clap/entry.h>

#include "framework/CLAP/IPluginCLAP.h"

namespace {
// Cairo and its pixel library allocate tables when they are loaded and never free them: a host
// that loads and unloads this module again and again (a plug-in scan) would lose memory each time.
// Once loaded with this module, Cairo stays loaded. Loading libraries opens no display.
[[maybe_unused]] const bool kCairoKept = dlopen("libcairo.so.2", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;

bool entryInit(const char*)
{
  return true;
}

void entryDeinit()
{
}

const void* entryFactory(const char* factoryID)
{
  return factoryID && std::strcmp(factoryID, CLAP_PLUGIN_FACTORY_ID) == 0 ? plug::clap::Factory() : nullptr;
}
} // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, entryInit, entryDeinit, entryFactory};
