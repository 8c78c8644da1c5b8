// SPDX-License-Identifier: ISC
#include "framework/IParam.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

using plug::IParam;
using plug::TextString;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string display(const IParam& p, double value, bool normalized = false, bool withDisplayText = true)
{
  TextString text;
  p.GetDisplay(value, normalized, text, withDisplayText);
  return text.Get();
}

// A milliseconds parameter of the shape the plug-in uses for its lengths.
void initPowerLength(IParam& p)
{
  p.InitDouble("Length", 20.0, 0.2, 2000.0, 0.1, "", 0, "", IParam::ShapePowCurve(4.0));
}

} // namespace

TEST(IParam, UninitialisedParameterIsEmptyLinearZeroToOne)
{
  IParam p;
  EXPECT_EQ(p.Type(), IParam::kTypeNone);
  EXPECT_STREQ(p.GetName(), "");
  EXPECT_EQ(p.GetValue(), 0.0);
  EXPECT_EQ(p.GetMin(), 0.0);
  EXPECT_EQ(p.GetMax(), 1.0);
  EXPECT_EQ(p.GetStep(), 1.0);
  EXPECT_EQ(p.Unit(), IParam::kUnitCustom);
  EXPECT_EQ(p.Flags(), 0);
  EXPECT_EQ(p.GetShape().GetDisplayType(), 0);
  p.SetFromNormalized(0.25);
  EXPECT_EQ(p.GetValue(), 0.25);
  EXPECT_EQ(display(p, 0.0), "0");
}

TEST(IParam, InitDoubleTakesOverEverythingAndConstrainsTheDefault)
{
  IParam p;
  p.InitDouble("Cutoff", 12.34, 10.0, 20.0, 0.5, "Hz", IParam::kParamFlagStepped | IParam::kParamFlagShowSign, "Filter",
               IParam::ShapeLinear(), IParam::kUnitFrequency);
  EXPECT_EQ(p.Type(), IParam::kTypeDouble);
  EXPECT_STREQ(p.GetName(), "Cutoff");
  EXPECT_STREQ(p.GetLabel(), "Hz");
  EXPECT_STREQ(p.GetGroup(), "Filter");
  double lo = 0.0, hi = 0.0;
  p.GetBounds(lo, hi);
  EXPECT_EQ(lo, 10.0);
  EXPECT_EQ(hi, 20.0);
  EXPECT_EQ(p.GetDefault(), 12.34); // kept as given
  EXPECT_EQ(p.GetValue(), 12.5); // the current value is on the step
  EXPECT_EQ(p.Unit(), IParam::kUnitFrequency);
  EXPECT_TRUE(p.GetStepped());
  EXPECT_EQ(p.Flags(), IParam::kParamFlagStepped | IParam::kParamFlagShowSign);

  IParam outside;
  outside.InitDouble("Out", 50.0, 0.0, 10.0, 1.0);
  EXPECT_EQ(outside.GetValue(), 10.0);
}

TEST(IParam, RangeIsNeverNarrowerThanOneStep)
{
  IParam p;
  p.InitDouble("Flat", 5.0, 5.0, 5.0, 0.5);
  EXPECT_EQ(p.GetMin(), 5.0);
  EXPECT_EQ(p.GetMax(), 5.5);

  IParam single;
  single.InitEnum("Single", 0, {"only"});
  EXPECT_EQ(single.GetMin(), 0.0);
  EXPECT_EQ(single.GetMax(), 1.0);
}

TEST(IParam, LongNamesAreCutTo31Characters)
{
  IParam p;
  const std::string longName(40, 'n');
  p.InitDouble(longName.c_str(), 0.0, 0.0, 1.0, 0.1);
  EXPECT_EQ(std::string(p.GetName()), std::string(31, 'n'));
}

TEST(IParam, DisplayPrecisionFollowsTheStep)
{
  struct Case {
    double step;
    int precision;
  };
  // 0.07 and 0.57 are not whole after two multiplications by ten in binary (7.000000000000001).
  const Case cases[] = {{1.0, 0},  {5.0, 0}, {0.1, 1},   {0.5, 1},    {0.01, 2},    {0.25, 2}, {0.07, 2},
                        {0.57, 2}, {0.3, 1}, {0.001, 3}, {0.0001, 4}, {0.00001, 5}, {1e-6, 6}, {1e-9, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    IParam p;
    p.InitDouble("P", 0.0, 0.0, 100.0, c.step);
    EXPECT_EQ(p.GetDisplayPrecision(), c.precision);
  }

  IParam p;
  p.InitDouble("P", 0.5, 0.0, 1.0, 0.1);
  p.SetDisplayPrecision(3);
  EXPECT_EQ(p.GetDisplayPrecision(), 3);
  EXPECT_EQ(display(p, 0.5), "0.500");
}

TEST(IParamShape, PowerFourCurveHalfwayIsASixteenthOfTheRange)
{
  IParam p;
  initPowerLength(p);
  // 0.2 + 1999.8 · 0.5⁴, not rounded to the step because the parameter is not stepped.
  EXPECT_DOUBLE_EQ(p.ValueFromNormalized(0.5), 125.1875);
  EXPECT_EQ(p.GetDisplayPrecision(), 1);
  EXPECT_EQ(display(p, 0.5, true), "125.2");
  EXPECT_DOUBLE_EQ(p.NormalizedFromValue(125.1875), 0.5);
  EXPECT_DOUBLE_EQ(p.ValueFromNormalized(0.0), 0.2);
  EXPECT_DOUBLE_EQ(p.ValueFromNormalized(1.0), 2000.0);
  // (1000 − 0.2) / 1999.8 = 0.5, so 1000 ms sits at 0.5^(1/4) of the travel.
  EXPECT_NEAR(p.NormalizedFromValue(1000.0), std::pow(999.8 / 1999.8, 0.25), 1e-15);
}

TEST(IParamShape, LinearRoundTrips)
{
  IParam p;
  p.InitDouble("Skew", 0.0, -1.0, 1.0, 0.01);
  for (double v : {-1.0, -0.5, 0.0, 0.25, 1.0}) {
    SCOPED_TRACE(v);
    const double n = (v + 1.0) / 2.0;
    EXPECT_DOUBLE_EQ(p.NormalizedFromValue(v), n);
    EXPECT_DOUBLE_EQ(p.ValueFromNormalized(n), v);
  }
}

TEST(IParamShape, ExpCurveIsInitialisedFromTheRange)
{
  IParam p;
  p.InitDouble("Freq", 1000.0, 20.0, 20000.0, 1.0, "Hz", 0, "", IParam::ShapeExp(), IParam::kUnitFrequency);
  const auto& shape = dynamic_cast<const IParam::ShapeExp&>(p.GetShape());
  EXPECT_DOUBLE_EQ(shape.mAdd, std::log(20.0));
  EXPECT_DOUBLE_EQ(shape.mMul, std::log(1000.0));
  // Geometric middle of 20 … 20000.
  EXPECT_NEAR(p.ValueFromNormalized(0.5), std::sqrt(20.0 * 20000.0), 1e-9);
  EXPECT_NEAR(p.NormalizedFromValue(2000.0), 2.0 / 3.0, 1e-12);

  // A lower end at or below 0 is replaced by 1e-8 for the logarithm.
  IParam zero;
  zero.InitDouble("Zero", 1.0, 0.0, 1.0, 0.01, "", 0, "", IParam::ShapeExp());
  const auto& zeroShape = dynamic_cast<const IParam::ShapeExp&>(zero.GetShape());
  EXPECT_DOUBLE_EQ(zeroShape.mAdd, std::log(1e-8));
  EXPECT_DOUBLE_EQ(zeroShape.mMul, std::log(1e8));
  EXPECT_EQ(zero.NormalizedFromValue(0.0), 0.0); // ln 0 is −∞: clamped, not NaN
}

TEST(IParamShape, DisplayTypes)
{
  struct Case {
    double power;
    int type;
  };
  const Case cases[] = {{4.0, 6}, {2.51, 6}, {2.5, 4}, {2.0, 4},  {1.5, 0},      {1.0, 0},
                        {0.7, 0}, {0.6, 3},  {0.4, 3}, {0.39, 5}, {2.0 / 3.0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.power);
    EXPECT_EQ(IParam::ShapePowCurve(c.power).GetDisplayType(), c.type);
  }
  EXPECT_EQ(IParam::ShapeLinear().GetDisplayType(), 0);
  EXPECT_EQ(IParam::ShapeExp().GetDisplayType(), 1);

  const IParam::ShapePowCurve original(3.0);
  const auto copy = original.Clone();
  EXPECT_EQ(dynamic_cast<const IParam::ShapePowCurve&>(*copy).mPower, 3.0);
}

TEST(IParam, SteppedValuesRoundHalfAwayFromZeroThenClamp)
{
  IParam p;
  p.InitDouble("P", 0.0, -10.0, 10.0, 0.5, "", IParam::kParamFlagStepped);
  EXPECT_EQ(p.ConstrainValue(0.25), 0.5);
  EXPECT_EQ(p.ConstrainValue(-0.25), -0.5);
  EXPECT_EQ(p.ConstrainValue(0.2), 0.0);
  EXPECT_EQ(p.ConstrainValue(42.0), 10.0);
  EXPECT_EQ(p.ConstrainValue(-42.0), -10.0);

  // A host change between two steps stores the nearest step.
  IParam poly;
  poly.InitInt("Poly", 4, 1, 8);
  poly.SetFromNormalized(0.5); // 1 + 3.5 = 4.5 → 5
  EXPECT_EQ(poly.GetValue(), 5.0);
  EXPECT_EQ(display(poly, 0.5, true), "5");
  EXPECT_DOUBLE_EQ(poly.GetNormalized(), 4.0 / 7.0);
}

TEST(IParam, NaNNeverBecomesTheValue)
{
  IParam p;
  initPowerLength(p);
  p.SetValue(100.0);

  p.SetValue(kNaN);
  EXPECT_EQ(p.GetValue(), 100.0);
  p.SetFromNormalized(kNaN);
  EXPECT_EQ(p.GetValue(), 100.0);
  EXPECT_EQ(p.ValueFromNormalized(kNaN), 100.0);
  EXPECT_EQ(p.ConstrainValue(kNaN), 100.0);
  EXPECT_DOUBLE_EQ(p.NormalizedFromValue(kNaN), p.NormalizedFromValue(100.0));
  EXPECT_EQ(p.StringToValue("nan"), 100.0);
  EXPECT_EQ(p.StringToValue("-NaN"), 100.0);

  IParam nanDefault;
  nanDefault.InitDouble("D", kNaN, 1.0, 2.0, 0.1);
  EXPECT_EQ(nanDefault.GetValue(), 1.0);
}

TEST(IParam, InfinitiesClampToTheRangeEnds)
{
  IParam p;
  initPowerLength(p);
  p.SetValue(kInf);
  EXPECT_EQ(p.GetValue(), 2000.0);
  p.SetValue(-kInf);
  EXPECT_EQ(p.GetValue(), 0.2);

  // n⁴ of −∞ would be +∞: the normalised input is clamped before the curve.
  p.SetFromNormalized(kInf);
  EXPECT_EQ(p.GetValue(), 2000.0);
  p.SetFromNormalized(-kInf);
  EXPECT_EQ(p.GetValue(), 0.2);
  EXPECT_EQ(p.ValueFromNormalized(-0.5), 0.2);

  EXPECT_EQ(p.NormalizedFromValue(kInf), 1.0);
  EXPECT_EQ(p.NormalizedFromValue(-kInf), 0.0);

  IParam stepped;
  stepped.InitInt("Int", 0, -3, 3);
  EXPECT_EQ(stepped.ConstrainValue(kInf), 3.0);
  EXPECT_EQ(stepped.ConstrainValue(-kInf), -3.0);
}

TEST(IParam, NormalizedIsNeverNaNEvenForAZeroWidthRange)
{
  IParam p;
  p.InitDouble("Flat", 1.0, 1.0, 1.0, 0.0); // step 0 cannot widen the range
  for (double v : {1.0, 0.0, 5.0, kInf, -kInf, kNaN}) {
    SCOPED_TRACE(v);
    const double n = p.NormalizedFromValue(v);
    EXPECT_FALSE(std::isnan(n));
    EXPECT_GE(n, 0.0);
    EXPECT_LE(n, 1.0);
  }
  EXPECT_EQ(p.GetValue(), 1.0);
}

TEST(IParamDisplay, NumericRules)
{
  struct Case {
    const char* name;
    double step;
    int flags;
    double value;
    const char* expected;
  };
  const Case cases[] = {
    {"precision 0 rounds 2.5 up", 1.0, 0, 2.5, "3"},
    {"precision 0 rounds -2.5 down", 1.0, 0, -2.5, "-3"},
    {"precision 0 rounds 2.4 down", 1.0, 0, 2.4, "2"},
    {"minus zero", 0.1, 0, -0.0, "0.0"},
    {"negated zero", 0.1, IParam::kParamFlagNegateDisplay, 0.0, "0.0"},
    {"negated zero, precision 0", 1.0, IParam::kParamFlagNegateDisplay, 0.0, "0"},
    {"negated", 0.1, IParam::kParamFlagNegateDisplay, 1.5, "-1.5"},
    {"negated negative", 0.1, IParam::kParamFlagNegateDisplay, -1.5, "1.5"},
    {"show sign positive", 0.1, IParam::kParamFlagShowSign, 1.5, "+1.5"},
    {"show sign negative", 0.1, IParam::kParamFlagShowSign, -1.5, "-1.5"},
    {"show sign zero", 0.1, IParam::kParamFlagShowSign, 0.0, "0.0"},
    {"show sign, precision 0", 1.0, IParam::kParamFlagShowSign, 2.0, "2"},
    {"show sign and negate", 0.01, IParam::kParamFlagShowSign | IParam::kParamFlagNegateDisplay, -0.25, "+0.25"},
    {"two decimals", 0.01, 0, 0.125, "0.12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    IParam p;
    p.InitDouble("P", 0.0, -100.0, 100.0, c.step, "", c.flags);
    EXPECT_EQ(display(p, c.value), c.expected);
  }
}

TEST(IParamDisplay, ValuesBeyondIntPrintWithoutOverflow)
{
  IParam p;
  p.InitDouble("Big", 0.0, -1e12, 1e12, 1.0);
  EXPECT_EQ(display(p, 5e9), "5000000000");
  EXPECT_EQ(display(p, -5e9), "-5000000000");
}

TEST(IParamDisplay, DisplayTextsComeFirstAndEmptyOnesFallThrough)
{
  IParam p;
  p.InitDouble("P", 0.0, 0.0, 10.0, 1.0, "dB");
  p.SetDisplayText(0.0, "none");
  p.SetDisplayText(1.0, "");
  p.SetDisplayText(2.0, "two");
  p.SetDisplayText(2.0, "second two");

  EXPECT_EQ(display(p, 0.0), "none");
  EXPECT_EQ(display(p, 0.0, false, false), "0");
  EXPECT_EQ(display(p, 1.0), "1");
  EXPECT_EQ(display(p, 2.0), "two"); // only the first match counts
  EXPECT_EQ(display(p, 2.0000001), "2"); // exact match only
  EXPECT_EQ(display(p, 0.2, true), "two"); // normalised 0.2 of 0 … 10

  EXPECT_STREQ(p.GetDisplayText(2.0), "two");
  EXPECT_STREQ(p.GetDisplayText(3.0), "");

  // The label is hidden while the current value has a non-empty text.
  TextString text;
  p.SetValue(0.0);
  EXPECT_STREQ(p.GetLabel(), "");
  p.GetDisplayWithLabel(text);
  EXPECT_STREQ(text.Get(), "none");
  p.SetValue(1.0);
  EXPECT_STREQ(p.GetLabel(), "dB");
  p.GetDisplayWithLabel(text);
  EXPECT_STREQ(text.Get(), "1 dB");
  p.SetValue(3.0);
  p.GetDisplayWithLabel(text);
  EXPECT_STREQ(text.Get(), "3 dB");
}

TEST(IParamDisplay, LabelLookupTruncatesTheValue)
{
  IParam p;
  p.InitDouble("P", 2.7, 0.0, 10.0, 0.1, "Hz");
  p.SetDisplayText(2.0, "two");
  EXPECT_STREQ(p.GetLabel(), "");
  p.SetValue(3.1);
  EXPECT_STREQ(p.GetLabel(), "Hz");
}

TEST(IParamDisplay, DisplayFunctionReplacesEverything)
{
  IParam p;
  p.InitDouble("P", 0.0, 0.0, 10.0, 1.0, "Hz", IParam::kParamFlagNegateDisplay);
  p.SetDisplayText(5.0, "five");
  double seen = -1.0;
  p.SetDisplayFunc([&seen](double value, TextString& text) {
    seen = value;
    text.Set("custom");
  });
  EXPECT_EQ(display(p, 5.0), "custom");
  EXPECT_EQ(seen, 5.0); // the plain value, not negated
  EXPECT_EQ(display(p, 0.5, true), "custom");
  EXPECT_EQ(seen, 5.0);
}

TEST(IParamBool, OffOnTextsAndEmptyLabel)
{
  IParam p;
  p.InitBool("Sync", false, "", 0, "", "off", "on");
  EXPECT_EQ(p.Type(), IParam::kTypeBool);
  EXPECT_TRUE(p.GetStepped());
  EXPECT_EQ(p.GetMin(), 0.0);
  EXPECT_EQ(p.GetMax(), 1.0);
  EXPECT_EQ(p.GetValue(), 0.0);
  EXPECT_EQ(display(p, 0.0), "off");
  EXPECT_EQ(display(p, 1.0), "on");
  EXPECT_EQ(display(p, 1.0, false, false), "1");
  EXPECT_STREQ(p.GetLabel(), "");
  EXPECT_EQ(p.NDisplayTexts(), 2);

  EXPECT_EQ(p.StringToValue("on"), 1.0);
  EXPECT_EQ(p.StringToValue("off"), 0.0);
  EXPECT_EQ(p.StringToValue("On"), 0.0); // case-sensitive
  EXPECT_EQ(p.StringToValue("1"), 0.0); // a number is not a text of a bool

  IParam labelled;
  labelled.InitBool("Labelled", true, "state", 0, "", "", "");
  EXPECT_EQ(labelled.GetValue(), 1.0);
  EXPECT_EQ(labelled.NDisplayTexts(), 2); // both texts are added even when empty
  EXPECT_STREQ(labelled.GetLabel(), "state");
  EXPECT_EQ(display(labelled, 1.0), "1");
}

TEST(IParamEnum, TextsIndicesAndParsing)
{
  IParam p;
  p.InitEnum("Mode", 2, {"A", "B", "C", "D"}, IParam::kParamFlagNoAutomation, "G");
  EXPECT_EQ(p.Type(), IParam::kTypeEnum);
  EXPECT_EQ(p.Flags(), IParam::kParamFlagNoAutomation | IParam::kParamFlagStepped);
  EXPECT_STREQ(p.GetGroup(), "G");
  EXPECT_STREQ(p.GetLabel(), "");
  EXPECT_EQ(p.GetMax(), 3.0);
  EXPECT_EQ(p.GetValue(), 2.0);
  EXPECT_EQ(p.NDisplayTexts(), 4);

  double value = -1.0;
  EXPECT_STREQ(p.GetDisplayTextAtIdx(3, &value), "D");
  EXPECT_EQ(value, 3.0);
  EXPECT_STREQ(p.GetDisplayTextAtIdx(0), "A");
  EXPECT_STREQ(p.GetDisplayTextAtIdx(4, &value), "");
  EXPECT_EQ(value, 3.0);

  EXPECT_TRUE(p.MapDisplayText("C", &value));
  EXPECT_EQ(value, 2.0);
  EXPECT_FALSE(p.MapDisplayText("c", &value));
  EXPECT_FALSE(p.MapDisplayText(nullptr, &value));

  EXPECT_EQ(p.StringToValue("D"), 3.0);
  EXPECT_EQ(p.StringToValue("7"), 0.0);
  EXPECT_EQ(p.StringToValue("2"), 0.0);

  // A normalised value picks the nearest index.
  EXPECT_EQ(display(p, 1.0 / 3.0, true), "B");
  EXPECT_EQ(display(p, 0.6, true), "C"); // 1.8 → 2

  IParam numbered;
  numbered.InitEnum("Numbered", 0, {"1", "2", "7"});
  EXPECT_EQ(numbered.StringToValue("7"), 2.0);
}

TEST(IParamParse, NumbersAreConstrained)
{
  IParam p;
  p.InitDouble("P", 0.0, -10.0, 10.0, 0.5, "", IParam::kParamFlagStepped);
  IParam negated;
  negated.InitDouble("N", 0.0, -10.0, 10.0, 0.1, "", IParam::kParamFlagNegateDisplay);
  IParam plain;
  plain.InitDouble("Q", 0.0, -10.0, 10.0, 0.1);

  struct Case {
    const IParam& param;
    const char* text;
    double expected;
  };
  const Case cases[] = {
    {p, "3.3", 3.5},         {p, "3.2", 3.0},        {p, "-3.25", -3.5},
    {p, "42", 10.0},         {p, "abc", 0.0},        {p, "", 0.0},
    {p, "  2.5 ms", 2.5},    {p, "+4", 4.0},         {p, "+-4", 0.0},
    {p, ".5", 0.5},          {p, "1e1", 10.0},       {p, "0x10", 0.0},
    {p, "1e999", 10.0},      {p, "-1e999", -10.0},   {p, "1e-999", 0.0},
    {p, "0.0001e400", 10.0}, {p, "inf", 10.0},       {p, "-infinity", -10.0},
    {negated, "3", -3.0},    {negated, "-2.5", 2.5}, {plain, "1.23456", 1.23456},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.param.StringToValue(c.text), c.expected);
  }
}

TEST(IParamParse, PointIsTheDecimalSeparatorWhateverTheLocale)
{
  // Hosts may switch the process locale; "0.5" must still read as one half.
  IParam p;
  p.InitDouble("P", 0.0, 0.0, 1.0, 0.01);
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr && std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") == nullptr)
    GTEST_SKIP() << "no locale with a decimal comma installed";
  const double value = p.StringToValue("0.5");
  const double comma = p.StringToValue("0,5"); // the comma ends the number
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(value, 0.5);
  EXPECT_EQ(comma, 0.0);
}

TEST(TextString, SetFormattedKeepsAtMostMaxLengthCharacters)
{
  TextString text;
  text.SetFormatted(8, "%s", "0123456789");
  EXPECT_STREQ(text.Get(), "01234567");
  EXPECT_EQ(text.GetLength(), 8);
  text.SetFormatted(32, "%.1f", -6.0206);
  EXPECT_STREQ(text.Get(), "-6.0");
  text.AppendFormatted(3, "%d", 12345);
  EXPECT_STREQ(text.Get(), "-6.0123");
  text.Set("abcdef", 3);
  text.Append(" x");
  EXPECT_STREQ(text.Get(), "abc x");
  text.Set(nullptr);
  EXPECT_TRUE(text.Empty());
  EXPECT_TRUE(text == "");
}
