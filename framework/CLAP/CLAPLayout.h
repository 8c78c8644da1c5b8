// SPDX-License-Identifier: ISC
#pragma once

#include <cstdint>

#include "framework/IPluginBase.h"

// What CLAP hosts store and must be able to rely on forever: the plug-in's id, the id of each
// parameter and the layout of the state. Sessions saved today must load in every later version, so
// none of this may change; tests/clap/clap_contract_test.cpp holds it fixed.
namespace plug::clap {

// The plug-in's id in every CLAP host and session, under the maker's reserved domain like the AAX
// bundle identifier.
inline constexpr const char* kPluginID = "example.tarnwellmusic.quennet";

// The module's file name, and the folder beside it that holds the editor's artwork once installed.
inline constexpr const char* kBinaryName = "quennet.clap";

// Parameter ids: parameter index + 1, the numbering of the plug-in's host ids ("1" ... "29"), so
// that Volume is 1 and MIDI Release 22. Only parameters with a kind are shown to the host; the
// reserved slots live in the state alone.
inline constexpr std::uint32_t ParamID(int paramIdx)
{
  return static_cast<std::uint32_t>(paramIdx) + 1u;
}

// The parameter of an id, or -1 when the plug-in has no such parameter for the host.
inline int ParamIndexOf(const IPluginBase& plug, std::uint32_t id)
{
  if (id < 1u || id > static_cast<std::uint32_t>(plug.NParams()))
    return -1;
  const int paramIdx = static_cast<int>(id - 1u);
  return plug.GetParam(paramIdx)->Type() != IParam::kTypeNone ? paramIdx : -1;
}

// The state is the plug-in's state chunk as it stands: one little-endian double per parameter
// slot, plain values in index order, no header; 232 bytes for Quennet's 29 slots. The same bytes
// are LV2's state property, so a state moves between the formats unchanged.
inline constexpr int StateSize(int numParamSlots)
{
  return numParamSlots * static_cast<int>(sizeof(double));
}

} // namespace plug::clap
