// SPDX-License-Identifier: ISC
#pragma once

#include "framework/IByteChunk.h"

namespace plug {

// One preset slot: a name and the parameter values as a state chunk.
struct IPreset {
  static constexpr int kMaxNameLength = 256;

  bool mInitialized = false;
  char mName[kMaxNameLength] = "empty";
  IByteChunk mChunk;
};

} // namespace plug
