// SPDX-License-Identifier: ISC
// The LV2 module's only exported symbols, the host's ways in: the plug-in and its editor. One
// module serves both, so that the editor (with instance-access) works on the same plug-in code and
// process-wide state as the instance; it opens no X connection until the host instantiates the UI.
#include <dlfcn.h>

#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>

#include "framework/LV2/IPluginLV2.h"
#include "framework/LV2/IPluginLV2UI.h"

namespace {
// Cairo and its pixel library (pixman) allocate tables when they are loaded and never free them: a
// host that loads and unloads this module again and again (a plug-in scan) would lose about 13 KB
// each time. Once loaded with this module, Cairo (and with it pixman) stays loaded, so they are set
// up only once per process. Loading libraries opens nothing: no display is touched.
[[maybe_unused]] const bool kCairoKept = dlopen("libcairo.so.2", RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
} // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
  return index == 0 ? plug::lv2::Descriptor() : nullptr;
}

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(uint32_t index)
{
  return index == 0 ? plug::lv2::UIDescriptor() : nullptr;
}
