// SPDX-License-Identifier: ISC
#pragma once

#include <optional>
#include <string>

namespace render {

// The sample rate an AIFF or AIFF-C file's COMM chunk holds, read from the file itself: libsndfile
// turns it into a whole number, so that 0, NaN and infinity come out as 1 or 67108864 Hz. Reads
// with pread() and leaves the file position alone; none for a stream or a file without a COMM
// chunk.
std::optional<double> aiffSampleRate(int fd);

// "48000 Hz", "0.5 Hz", "NaN", "infinity" or "-infinity": a rate as a message shows it.
std::string describeSampleRate(double rate);

} // namespace render
