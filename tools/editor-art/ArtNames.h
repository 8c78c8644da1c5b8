// SPDX-License-Identifier: ISC
#pragma once

// The texts printed on the artwork, taken from the plug-in's own parameter table so the picture
// cannot drift from the parameters.

#include <array>
#include <span>
#include <string>

#include "core/quennet.param.h"
#include "framework/IParam.h"

namespace art {

using namespace quennet;

// The parameters as the plug-in makes them.
class ParamTable {
public:
  ParamTable();
  ParamTable(const ParamTable&) = delete;
  ParamTable& operator=(const ParamTable&) = delete;

  const plug::IParam& operator[](int index) const { return mParams[static_cast<std::size_t>(index)]; }
  plug::IParam& operator[](int index) { return mParams[static_cast<std::size_t>(index)]; }

  // The first word that every name of the group starts with and that leaves something after
  // it ("Grain" for "Grain Mode", "Grain Overlap" …), or "" when there is none.
  std::string commonFirstWord(std::span<const int> params) const;
  // The name without a leading group word: "Fade-In" for "Grain Fade-In" and "Grain".
  std::string shortName(int param, const std::string& groupWord) const;

private:
  std::array<plug::IParam, kNumParams> mParams;
};

std::string upper(std::string text);

} // namespace art
