// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

// What VST3 hosts store about the plug-in: its class id, its parameter ids, its program list and
// the layout of its state. Hosts keep all of these in saved sessions and presets, so they are a
// contract: written down here once, never changed, and held fixed by tests/vst3/VST3Layout_test.cpp.
namespace plug::vst3 {

// The plug-in's class id, 16 bytes in the order hosts store them (VST3's byte order on Linux and
// macOS). Readable on purpose: the maker's code, the product code, the format and the name.
inline constexpr std::uint8_t kClassId[16] = {'T', 'r', 'w', 'l', 't', 'w', 'Q', 'n',
                                              'V', 'S', 'T', '3', 'Q', 'n', 'e', 't'};

// Parameter ids. The plug-in's parameter of index i has id i: ids 0 ... 28 for Quennet's 29 slots,
// the reserved slots 22 ... 28 included (hidden, read-only), so that the ids are the indices of the
// state chunk and of the parameter table. The bridge's own parameters lie far above any index.
inline constexpr std::uint32_t PluginParamId(int paramIdx)
{
  return static_cast<std::uint32_t>(paramIdx);
}
// The factory preset chosen (a program change parameter of the program list below): preset i of n
// is the normalised value i / (n - 1).
inline constexpr std::uint32_t kPresetParamId = 0x100;
// MIDI controller c (0 ... 127) of any channel on the event input, as VST3 hosts deliver
// controllers: a hidden parameter the host finds through IMidiMapping, whose normalised value v is
// the controller value round(127 v).
inline constexpr std::uint32_t kFirstControllerParamId = 0x200;
inline constexpr int kNumControllers = 128;
inline constexpr std::uint32_t ControllerParamId(int controller)
{
  return kFirstControllerParamId + static_cast<std::uint32_t>(controller);
}

// One unit (the root, id 0) with the factory presets as its program list.
inline constexpr std::int32_t kRootUnitId = 0;
inline constexpr std::int32_t kPresetListId = 1;

// The component state (IComponent::getState / setState) is the plug-in's state chunk as every
// format stores it: one little-endian IEEE-754 double per parameter slot, plain values in index
// order, no header: 29 × 8 = 232 bytes for Quennet. A session saved in another format (an LV2
// state chunk) holds the same bytes. A state of any other size is refused. The edit controller
// keeps no state of its own (its getState writes nothing).

// Names in the bundle: quennet.vst3/Contents/<architecture>-linux/quennet.so.
inline constexpr const char* kBundleName = "quennet.vst3";
inline constexpr const char* kBinaryName = "quennet.so";

// What the factory says about the class.
inline constexpr const char* kCategory = "Audio Module Class";
inline constexpr const char* kSubCategories = "Fx|Delay";
inline constexpr const char* kSdkVersion = "VST 3.7.0";
inline constexpr const char* kVendorURL = "https://tarnwellmusic.example";

} // namespace plug::vst3
