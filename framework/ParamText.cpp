#include "framework/ParamText.h"

#include <cmath>
#include <cstdlib>
#include <optional>

#include "framework/TextString.h"

namespace plug {

namespace {

std::string shownText(const IParam& param, double value)
{
  TextString text;
  param.GetDisplay(value, false, text);
  return text.Get();
}

// The number a text starts with (after spaces), if any.
std::optional<double> leadingNumber(const std::string& text)
{
  const char* start = text.c_str();
  char* end = nullptr;
  const double number = std::strtod(start, &end);
  if (end == start || !std::isfinite(number))
    return std::nullopt;
  // "-0.0" (a value just below zero, rounded) comes before "0.0".
  if (number == 0.0 && std::signbit(number))
    return -1e-300;
  return number;
}

// For a display function whose numbers rise or fall with the value: the middle of the values that
// show the same text as the first value at which the shown number reaches `wanted`.
std::optional<double> valueShowing(const IParam& param, double wanted)
{
  const double lo = param.GetMin();
  const double hi = param.GetMax();
  // Just inside the ends: the very ends may have words of their own ("-oo", "Dry", "Wet").
  const double inset = (hi - lo) * 1e-9;
  const std::optional<double> atLo = leadingNumber(shownText(param, lo + inset));
  const std::optional<double> atHi = leadingNumber(shownText(param, hi - inset));
  if (!atLo || !atHi || *atLo == *atHi)
    return std::nullopt;
  const bool rising = *atHi > *atLo;
  auto reached = [&](double value) {
    const std::optional<double> shown = leadingNumber(shownText(param, value));
    return shown && (rising ? *shown >= wanted : *shown <= wanted);
  };
  if (!reached(hi - inset))
    return hi - inset;
  if (reached(lo + inset))
    return lo + inset;
  // Bisection: below `a` the number has not reached `wanted`, from `b` on it has.
  double a = lo + inset;
  double b = hi - inset;
  for (int i = 0; i < 200 && b - a > (hi - lo) * 1e-15; ++i) {
    const double mid = 0.5 * (a + b);
    (reached(mid) ? b : a) = mid;
  }
  // The values showing the text of `b` run from `b` to where the next text starts.
  const std::string text = shownText(param, b);
  double c = b;
  double d = hi;
  if (shownText(param, d) == text)
    return 0.5 * (b + d);
  for (int i = 0; i < 200 && d - c > (hi - lo) * 1e-15; ++i) {
    const double mid = 0.5 * (c + d);
    (shownText(param, mid) == text ? c : d) = mid;
  }
  return 0.5 * (b + c);
}

} // namespace

std::string ParamValueToText(const IParam& param, double value)
{
  std::string result = shownText(param, value);
  const char* label = param.GetLabel();
  if (param.NDisplayTexts() == 0 && label[0] != '\0')
    result += std::string(" ") + label;
  return result;
}

bool ParamValueFromText(const IParam& param, const char* text, double& value)
{
  if (!text)
    return false;
  std::string typed(text);
  // LV2 hosts list dotted note values as "1/4 dotted": a value copied from there reads too.
  static constexpr const char kDotted[] = " dotted";
  constexpr size_t kDottedLength = sizeof(kDotted) - 1;
  if (typed.size() > kDottedLength && typed.compare(typed.size() - kDottedLength, kDottedLength, kDotted) == 0)
    typed = typed.substr(0, typed.size() - kDottedLength) + ".";
  double mapped = 0.0;
  if (param.MapDisplayText(typed.c_str(), &mapped)) {
    value = mapped;
    return true;
  }
  if (param.Type() == IParam::kTypeBool || param.Type() == IParam::kTypeEnum)
    return false;
  // The words a display function shows at the ends of the range.
  for (const double end : {param.GetMin(), param.GetMax()})
    if (shownText(param, end) == typed && !leadingNumber(typed)) {
      value = end;
      return true;
    }
  const std::optional<double> number = leadingNumber(typed);
  if (!number)
    return false;
  if (param.HasDisplayFunc()) {
    const std::optional<double> shown = valueShowing(param, *number);
    if (!shown)
      return false;
    value = param.ConstrainValue(*shown);
    return true;
  }
  value = param.StringToValue(typed.c_str());
  return std::isfinite(value);
}

} // namespace plug
