// SPDX-License-Identifier: ISC
#include "framework/ParamText.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

#include "framework/TextString.h"

namespace plug {

namespace {

constexpr std::string_view kDottedWord = "dotted";

// Grids of more values than this are not searched (no parameter of ours comes near it).
constexpr double kMaxGridValues = 1e6;

std::string_view trimmed(std::string_view text)
{
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::string displayOf(const IParam& param, double plain)
{
  TextString text;
  param.GetDisplay(plain, false, text);
  return text.GetString();
}

bool isDotted(const std::string& text)
{
  return text.size() > 1 && text.back() == '.' && text[text.size() - 2] != '.';
}

// "1/4." as hosts show it: "dotted 1/4".
std::string spelt(const std::string& text)
{
  if (!isDotted(text))
    return text;
  return std::string(kDottedWord) + " " + text.substr(0, text.size() - 1);
}

// "1/4." as "1/4 dotted", a spelling typed by users and shown by earlier versions.
std::string speltAfter(const std::string& text)
{
  if (!isDotted(text))
    return text;
  return text.substr(0, text.size() - 1) + " " + std::string(kDottedWord);
}

// The leading decimal number of a text (after blanks), or nothing when it does not start with one.
std::optional<double> leadingNumber(std::string_view text)
{
  const std::string copy(trimmed(text));
  const char* start = copy.c_str();
  char* end = nullptr;
  const double value = std::strtod(start, &end);
  if (end == start || std::isnan(value))
    return std::nullopt;
  return value;
}

bool fromDisplayText(const IParam& param, std::string_view text, double& plain)
{
  for (int i = 0; i < param.NDisplayTexts(); ++i) {
    double value = 0.0;
    const std::string shown = param.GetDisplayTextAtIdx(i, &value);
    if (!shown.empty() && (text == shown || text == spelt(shown) || text == speltAfter(shown))) {
      plain = param.ConstrainValue(value);
      return true;
    }
  }
  return false;
}

// The number a display function shows for a plain value, if its text starts with one.
std::optional<double> shownNumber(const IParam& param, double plain)
{
  return leadingNumber(displayOf(param, plain));
}

// A display function may show anything; its texts are searched for on the parameter's step grid
// first. A number that no grid value shows exactly ("-31.7" dB lies between the gains 0 and 0.1) is
// then looked for between the nearest grid value and its neighbours, by halving the interval: the
// display is taken to be monotonic there, and a neighbour that shows no number ("-oo") to lie
// beyond the wanted one.
bool fromDisplayFunction(const IParam& param, std::string_view text, double& plain)
{
  const double step = param.GetStep();
  const double span = param.GetMax() - param.GetMin();
  if (!(step > 0.0) || !(span >= 0.0) || span / step > kMaxGridValues)
    return false;
  const long count = std::lround(std::floor(span / step)) + 1;
  // The last grid value is the maximum itself, should the range not end on a step.
  const auto gridValue = [&](long k) {
    return param.ConstrainValue(k < count ? param.GetMin() + static_cast<double>(k) * step : param.GetMax());
  };
  const std::optional<double> wanted = leadingNumber(text);
  long nearest = -1;
  double nearestDistance = std::numeric_limits<double>::infinity();
  for (long k = 0; k <= count; ++k) {
    const double candidate = gridValue(k);
    const std::string shown = displayOf(param, candidate);
    if (shown == text) {
      plain = candidate;
      return true;
    }
    if (!wanted)
      continue;
    if (const std::optional<double> number = leadingNumber(shown)) {
      const double distance = std::fabs(*number - *wanted);
      if (distance < nearestDistance) {
        nearestDistance = distance;
        nearest = k;
      }
    }
  }
  if (nearest < 0)
    return false;
  double best = gridValue(nearest);
  if (nearestDistance > 0.0) {
    const double x = *wanted;
    const double atNearest = *shownNumber(param, best);
    for (const long neighbour : {nearest - 1, nearest + 1}) {
      if (neighbour < 0 || neighbour > count)
        continue;
      const std::optional<double> atNeighbour = shownNumber(param, gridValue(neighbour));
      if (atNeighbour && (*atNeighbour - x) * (atNearest - x) > 0.0)
        continue; // the wanted number does not lie between the two
      double near = best;
      double far = gridValue(neighbour);
      for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (near + far);
        const std::string shown = displayOf(param, mid);
        if (shown == text) {
          plain = mid;
          return true;
        }
        const std::optional<double> number = leadingNumber(shown);
        if (!number) {
          far = mid;
          continue;
        }
        const double distance = std::fabs(*number - x);
        if (distance < nearestDistance) {
          nearestDistance = distance;
          best = mid;
        }
        if ((*number - x) * (atNearest - x) > 0.0)
          near = mid;
        else
          far = mid;
      }
    }
  }
  plain = best;
  return true;
}

} // namespace

std::string HostValueText(const IParam& param, double plain)
{
  return spelt(displayOf(param, param.ConstrainValue(plain)));
}

bool HostValueFromText(const IParam& param, std::string_view text, double& plain)
{
  text = trimmed(text);
  if (text.empty())
    return false;
  if (fromDisplayText(param, text, plain))
    return true;
  if (param.Type() == IParam::kTypeBool || param.Type() == IParam::kTypeEnum || param.Type() == IParam::kTypeNone)
    return false;
  if (param.HasDisplayFunc())
    return fromDisplayFunction(param, text, plain);
  std::optional<double> number = leadingNumber(text);
  if (!number)
    return false;
  if (param.Flags() & IParam::kParamFlagNegateDisplay)
    *number = -*number;
  plain = param.ConstrainValue(*number);
  return true;
}

} // namespace plug
