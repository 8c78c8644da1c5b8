// SPDX-License-Identifier: ISC
#include "framework/IParam.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace plug {

namespace {

// Longest numeric display text.
constexpr int kMaxDisplayLength = 32;

// Copies at most 31 characters; a null source gives the empty string.
void copyText(char (&dst)[32], const char* src)
{
  const std::size_t n = src ? strnlen(src, sizeof(dst) - 1) : 0;
  if (n > 0)
    std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// True when x is a whole number up to the rounding error left by a few multiplications by ten.
// Decimal steps are not exact in binary: 0.07 · 10 · 10 is 7.000000000000001, and an exact test
// would give 0.07 six decimals instead of two. That error is a few units in the last place
// (around 1e-15 relative); a tolerance of 1e-9 relative is far above it and far below any
// fraction a six-decimal display could show.
bool isWhole(double x)
{
  return std::fabs(x - std::round(x)) <= 1e-9 * std::fabs(x);
}

// Decimals needed to show multiples of the step: 0 for a whole step, else the number of
// multiplications by ten that make it whole, 1 … 5, or 6 if five are not enough.
int precisionForStep(double step)
{
  int precision = 0;
  for (double x = step; precision < 6 && !isWhole(x); x *= 10.0)
    ++precision;
  return precision;
}

bool isDigit(char c)
{
  return c >= '0' && c <= '9';
}

// Value of a decimal number that does not fit a double: ±infinity if its magnitude is too large,
// ±0 if too small. [p, end) is the matched number, optional '-' first.
double outOfRangeNumber(const char* p, const char* end)
{
  const bool negative = p < end && *p == '-';
  if (negative)
    ++p;

  // Decimal position of the leading significant digit: the count of significant integer digits,
  // or minus the count of zeros right after the point.
  long lead = 0;
  bool significant = false;
  for (; p < end && isDigit(*p); ++p)
    if (significant || *p != '0') {
      significant = true;
      ++lead;
    }
  if (p < end && *p == '.')
    for (++p; p < end && isDigit(*p); ++p)
      if (!significant) {
        if (*p == '0')
          --lead;
        else
          significant = true;
      }

  long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negativeExponent = false;
    if (p < end && (*p == '-' || *p == '+'))
      negativeExponent = *p++ == '-';
    for (; p < end && isDigit(*p); ++p)
      exponent = std::min(exponent * 10 + (*p - '0'), 1000000L);
    if (negativeExponent)
      exponent = -exponent;
  }

  const double magnitude = significant && lead + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

// The leading decimal number of a text, 0 if there is none. Independent of the process locale
// (hosts set their own): the point is always '.'. Leading white space and one '+' are accepted.
// "inf" and "nan" read as such; the caller deals with them.
double parseLeadingNumber(const char* text)
{
  if (!text)
    return 0.0;
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v')
    ++p;
  if (*p == '+' && p[1] != '-' && p[1] != '+')
    ++p;
  const char* end = p + std::strlen(p);
  double value = 0.0;
  const auto [last, error] = std::from_chars(p, end, value, std::chars_format::general);
  if (error == std::errc())
    return value;
  if (error == std::errc::result_out_of_range)
    return outOfRangeNumber(p, last);
  return 0.0;
}

} // namespace

// Shapes ---------------------------------------------------------------------------------------

std::unique_ptr<IParam::Shape> IParam::ShapeLinear::Clone() const
{
  return std::make_unique<ShapeLinear>(*this);
}

void IParam::ShapeLinear::Init(const IParam&)
{
}

int IParam::ShapeLinear::GetDisplayType() const
{
  return 0;
}

double IParam::ShapeLinear::NormalizedToValue(double normalized, const IParam& param) const
{
  return param.GetMin() + normalized * (param.GetMax() - param.GetMin());
}

double IParam::ShapeLinear::ValueToNormalized(double value, const IParam& param) const
{
  return (value - param.GetMin()) / (param.GetMax() - param.GetMin());
}

IParam::ShapePowCurve::ShapePowCurve(double power) : mPower(power)
{
}

std::unique_ptr<IParam::Shape> IParam::ShapePowCurve::Clone() const
{
  return std::make_unique<ShapePowCurve>(*this);
}

void IParam::ShapePowCurve::Init(const IParam&)
{
}

int IParam::ShapePowCurve::GetDisplayType() const
{
  if (mPower > 2.5)
    return 6;
  if (mPower > 1.5)
    return 4;
  if (mPower < 0.4)
    return 5;
  if (mPower < 2.0 / 3.0)
    return 3;
  return 0;
}

double IParam::ShapePowCurve::NormalizedToValue(double normalized, const IParam& param) const
{
  return param.GetMin() + (param.GetMax() - param.GetMin()) * std::pow(normalized, mPower);
}

double IParam::ShapePowCurve::ValueToNormalized(double value, const IParam& param) const
{
  return std::pow((value - param.GetMin()) / (param.GetMax() - param.GetMin()), 1.0 / mPower);
}

std::unique_ptr<IParam::Shape> IParam::ShapeExp::Clone() const
{
  return std::make_unique<ShapeExp>(*this);
}

void IParam::ShapeExp::Init(const IParam& param)
{
  // The logarithm needs a positive lower end.
  const double lo = param.GetMin() <= 0.0 ? 1e-8 : param.GetMin();
  mAdd = std::log(lo);
  mMul = std::log(param.GetMax() / lo);
}

int IParam::ShapeExp::GetDisplayType() const
{
  return 1;
}

double IParam::ShapeExp::NormalizedToValue(double normalized, const IParam&) const
{
  return std::exp(normalized * mMul + mAdd);
}

double IParam::ShapeExp::ValueToNormalized(double value, const IParam&) const
{
  return (std::log(value) - mAdd) / mMul;
}

// Construction and initialisers ----------------------------------------------------------------

IParam::IParam() : mShape(std::make_unique<ShapeLinear>())
{
}

IParam::~IParam() = default;

void IParam::InitDouble(const char* name, double defaultVal, double minVal, double maxVal, double step,
                        const char* label, int flags, const char* group, const Shape& shape, EParamUnit unit,
                        DisplayFunc displayFunc)
{
  if (mType == kTypeNone)
    mType = kTypeDouble;

  copyText(mName, name);
  copyText(mLabel, label);
  copyText(mGroup, group);

  mMin = minVal;
  mMax = std::max(maxVal, minVal + step); // never narrower than one step
  mStep = step;
  mDefaultValue = defaultVal;
  mUnit = unit;
  mFlags = flags;
  mDisplayFunc = std::move(displayFunc);

  const double value = Clamp(Snap(defaultVal));
  mValue.store(std::isnan(value) ? mMin : value);

  mDisplayPrecision = precisionForStep(step);

  mShape = shape.Clone();
  mShape->Init(*this);
}

void IParam::InitInt(const char* name, int defaultVal, int minVal, int maxVal, const char* label, int flags,
                     const char* group)
{
  if (mType == kTypeNone)
    mType = kTypeInt;
  InitDouble(name, defaultVal, minVal, maxVal, 1.0, label, flags | kParamFlagStepped, group, ShapeLinear(),
             kUnitCustom);
}

void IParam::InitBool(const char* name, bool defaultVal, const char* label, int flags, const char* group,
                      const char* offText, const char* onText)
{
  if (mType == kTypeNone)
    mType = kTypeBool;
  InitDouble(name, defaultVal ? 1.0 : 0.0, 0.0, 1.0, 1.0, label, flags | kParamFlagStepped, group, ShapeLinear(),
             kUnitCustom);
  SetDisplayText(0.0, offText);
  SetDisplayText(1.0, onText);
}

void IParam::InitEnum(const char* name, int defaultVal, std::initializer_list<const char*> texts, int flags,
                      const char* group)
{
  if (mType == kTypeNone)
    mType = kTypeEnum;
  const int count = static_cast<int>(texts.size());
  InitDouble(name, defaultVal, 0.0, count - 1, 1.0, "", flags | kParamFlagStepped, group, ShapeLinear(), kUnitCustom);
  int i = 0;
  for (const char* text : texts)
    SetDisplayText(i++, text);
}

void IParam::SetDisplayText(double value, const char* text)
{
  DisplayText entry{value, {}};
  copyText(entry.mText, text);
  mDisplayTexts.push_back(entry);
}

void IParam::SetDisplayFunc(DisplayFunc func)
{
  mDisplayFunc = std::move(func);
}

void IParam::SetSymbol(const char* symbol)
{
  copyText(mSymbol, symbol);
}

// Values ---------------------------------------------------------------------------------------

double IParam::Snap(double value) const
{
  // A zero or non-finite step would turn every value into NaN.
  if ((mFlags & kParamFlagStepped) && mStep > 0.0 && std::isfinite(mStep))
    return std::round(value / mStep) * mStep;
  return value;
}

double IParam::Clamp(double value) const
{
  return std::min(std::max(value, mMin), mMax);
}

double IParam::ConstrainValue(double value) const
{
  if (std::isnan(value))
    return GetValue();
  return Clamp(Snap(value));
}

void IParam::SetValue(double value)
{
  if (std::isnan(value))
    return;
  mValue.store(ConstrainValue(value));
}

double IParam::ValueFromNormalized(double normalized) const
{
  if (std::isnan(normalized))
    return GetValue();
  // Outside 0 … 1 a power curve folds back (n⁴ of −1 is 1) or yields NaN, so clamp first.
  normalized = std::min(std::max(normalized, 0.0), 1.0);
  return ConstrainValue(mShape->NormalizedToValue(normalized, *this));
}

double IParam::NormalizedFromValue(double value) const
{
  const double normalized = mShape->ValueToNormalized(ConstrainValue(value), *this);
  // Written so that NaN (a zero-width range, the logarithm of a value ≤ 0) gives 0.
  if (!(normalized > 0.0))
    return 0.0;
  return std::min(normalized, 1.0);
}

// Accessors ------------------------------------------------------------------------------------

const char* IParam::GetLabel() const
{
  const char* text = GetDisplayText(std::trunc(GetValue()));
  return text[0] != '\0' ? "" : mLabel;
}

const char* IParam::GetDisplayTextAtIdx(int idx, double* pValue) const
{
  if (idx < 0 || idx >= NDisplayTexts())
    return "";
  const DisplayText& entry = mDisplayTexts[static_cast<std::size_t>(idx)];
  if (pValue)
    *pValue = entry.mValue;
  return entry.mText;
}

// Display and parsing --------------------------------------------------------------------------

void IParam::GetDisplay(double value, bool normalized, TextString& text, bool withDisplayText) const
{
  if (normalized)
    value = ValueFromNormalized(value);

  if (mDisplayFunc) {
    mDisplayFunc(value, text);
    return;
  }

  if (withDisplayText)
    for (const DisplayText& entry : mDisplayTexts)
      if (entry.mValue == value) {
        if (entry.mText[0] != '\0') {
          text.Set(entry.mText, kMaxDisplayLength);
          return;
        }
        break; // only the first match counts; an empty text shows the number
      }

  double displayed = (mFlags & kParamFlagNegateDisplay) ? -value : value;
  if (displayed == 0.0)
    displayed = 0.0; // −0 shows without a sign

  if (mDisplayPrecision <= 0) {
    const double rounded = std::round(displayed); // half away from zero
    // Converting a value outside int (or NaN) to int is undefined; such values print as doubles.
    if (rounded >= static_cast<double>(INT_MIN) && rounded <= static_cast<double>(INT_MAX))
      text.SetFormatted(kMaxDisplayLength, "%d", static_cast<int>(rounded));
    else
      text.SetFormatted(kMaxDisplayLength, "%.0f", rounded);
  } else if ((mFlags & kParamFlagShowSign) && displayed != 0.0)
    text.SetFormatted(kMaxDisplayLength, "%+.*f", mDisplayPrecision, displayed);
  else
    text.SetFormatted(kMaxDisplayLength, "%.*f", mDisplayPrecision, displayed);
}

void IParam::GetDisplayWithLabel(TextString& text, bool withDisplayText) const
{
  GetDisplay(GetValue(), false, text, withDisplayText);
  const char* label = GetLabel();
  if (label[0] != '\0') {
    text.Append(" ");
    text.Append(label);
  }
}

const char* IParam::GetDisplayText(double value) const
{
  for (const DisplayText& entry : mDisplayTexts)
    if (entry.mValue == value)
      return entry.mText;
  return "";
}

bool IParam::MapDisplayText(const char* text, double* pValue) const
{
  if (!text)
    return false;
  for (const DisplayText& entry : mDisplayTexts)
    if (std::strcmp(entry.mText, text) == 0) {
      if (pValue)
        *pValue = entry.mValue;
      return true;
    }
  return false;
}

double IParam::StringToValue(const char* text) const
{
  double value = 0.0;
  if (MapDisplayText(text, &value))
    return value;
  if (mType == kTypeBool || mType == kTypeEnum)
    return 0.0;

  value = parseLeadingNumber(text);
  if (std::isnan(value))
    return GetValue();
  if (mFlags & kParamFlagNegateDisplay)
    value = -value;
  return ConstrainValue(value);
}

} // namespace plug
