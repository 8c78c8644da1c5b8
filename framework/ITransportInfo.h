// SPDX-License-Identifier: ISC
#pragma once

namespace plug {

// The host's tempo, positions and meter for the current block. The defaults are what a host
// without transport leaves: a negative position means "no position".
struct ITransportInfo {
  double mTempo = 120.0; // beats per minute
  double mSamplePos = -1.0; // samples since the song start
  double mPPQPos = -1.0; // quarter notes since the song start
  double mLastBar = -1.0; // quarter notes
  double mCycleStart = -1.0; // quarter notes
  double mCycleEnd = -1.0; // quarter notes
  int mNumerator = 4;
  int mDenominator = 4;
  bool mTransportIsRunning = false;
  bool mTransportLoopEnabled = false;
};

} // namespace plug
