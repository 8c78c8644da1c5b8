#pragma once

#include <string>

#include "framework/IParam.h"

namespace plug {

// A parameter's value as text for a host and back, the same in every host format (format-neutral:
// the CLAP bridge uses it; a VST3 bridge's string conversion can too).
//
// - To text: what the editor shows (display text, display function or number), then the unit
//   ("110.0 Hz", "1/4.", "-6.0", "30:70").
// - From text: a display text names its value ("1/4.", also LV2's "1/4 dotted", "on", "MIDI");
//   for the kinds bool and enum nothing else reads. Otherwise the text must start with a number
//   (a unit after it is ignored). Where a display function shows the value in other terms (Volume
//   in dB, Mix as "dry:wet"), the number is read in those terms: the result is the middle of the
//   values that show that text, so that the value read back shows the same text. Without a
//   display function the number is the plain value, constrained to the range.
std::string ParamValueToText(const IParam& param, double value);
// False for text that names no value (the value is then untouched).
bool ParamValueFromText(const IParam& param, const char* text, double& value);

} // namespace plug
