// The LV2 module's only exported symbol: the host's way in.
#include <lv2/core/lv2.h>

#include "framework/LV2/IPluginLV2.h"

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
  return index == 0 ? plug::lv2::Descriptor() : nullptr;
}
