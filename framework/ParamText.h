// SPDX-License-Identifier: ISC
#pragma once

#include <string>
#include <string_view>

#include "framework/IParam.h"

// The texts a host shows for a parameter's values, and the values it reads back from texts the user
// typed into the host's own controls. Format-neutral: every bridge whose host asks the plug-in for
// value texts (VST3's getParamStringByValue and getParamValueByString, CLAP's value_to_text and
// text_to_value) uses these, so that every host shows the same texts. User-interface thread (or any
// host thread that is not the audio thread): they allocate.
namespace plug {

// The text of a plain value as hosts show it: the parameter's own display (its display function,
// display text or number), without the label. A display text that ends in a dot (a dotted note
// value, "1/4.") is spelt out with the word first ("dotted 1/4"): some hosts' menus (Ardour's) keep
// one entry of labels that begin alike, so "1/4" and "1/4." (or "1/4 dotted") would merge. The LV2
// bundle's scale points spell them the same way.
std::string HostValueText(const IParam& param, double plain);

// The plain value of a text a host hands in, constrained to the parameter's range and steps; false
// when the text says nothing the parameter could take (the value is then left as it was):
// - a display text, any spelling of a dotted one ("1/4.", "dotted 1/4", "1/4 dotted"): its value;
// - bool and enum parameters take nothing else;
// - a parameter shown through a display function (decibels, "dry:wet"): the value on the
//   parameter's step grid whose text is the given one, or, for a number, whose shown number lies
//   nearest to it ("-6" gives the volume shown as "-6.0");
// - any other parameter: the text's leading number, in the parameter's own unit ("110 Hz" is 110).
bool HostValueFromText(const IParam& param, std::string_view text, double& plain);

} // namespace plug
