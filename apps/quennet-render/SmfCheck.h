#pragma once

#include <string>
#include <vector>

namespace render {

// Checks the structure of a Standard MIDI File before libsmf sees it: libsmf aborts the whole
// process on some malformed tracks (an event cut off at the end of its track, for one), so only
// files that pass this check are handed to it.
//
// Accepts format 0 and 1 with pulses-per-quarter-note timing, every track complete, made of
// well-formed events and closed by End of Track; escaped system-exclusive events (F7), which libsmf
// cannot read, are refused. Returns an empty string for such a file, else a short reason.
std::string findSmfProblem(const std::vector<unsigned char>& file);

} // namespace render
