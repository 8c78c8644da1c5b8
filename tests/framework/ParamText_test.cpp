// SPDX-License-Identifier: ISC
// The texts every host bridge shows for parameter values and reads back, on parameters of every
// kind, with display functions that are not the plug-in's own.
#include "framework/ParamText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

using plug::HostValueFromText;
using plug::HostValueText;
using plug::IParam;
using plug::TextString;

namespace {

std::optional<double> parsed(const IParam& p, const std::string& text)
{
  double plain = -12345.0;
  if (!HostValueFromText(p, text, plain))
    return std::nullopt;
  return plain;
}

// A frequency shown as a musical note's distance from 440 Hz in cents: a display function whose
// numbers fall between any two values of the parameter's step grid.
void initCents(IParam& p)
{
  p.InitDouble("Pitch", 440.0, 100.0, 1000.0, 10.0);
  p.SetDisplayFunc(
    [](double value, TextString& text) { text.SetFormatted(32, "%+.1f ct", 1200.0 * std::log2(value / 440.0)); });
}

} // namespace

TEST(ParamText, DisplayTextsAndDottedNoteValuesGoBothWays)
{
  IParam note;
  note.InitEnum("Note", 1, {"1/8", "1/8.", "1/4", "1/4."});
  EXPECT_EQ(HostValueText(note, 1.0), "dotted 1/8") << "spelt out: menus merge \"1/8\" and \"1/8.\"";
  EXPECT_EQ(HostValueText(note, 2.0), "1/4");
  EXPECT_EQ(parsed(note, "1/4 dotted"), 3.0);
  EXPECT_EQ(parsed(note, "1/4."), 3.0);
  EXPECT_EQ(parsed(note, "  1/8  "), 0.0);
  EXPECT_EQ(parsed(note, "2"), std::nullopt) << "an enum takes only its texts";
  EXPECT_EQ(parsed(note, ""), std::nullopt);

  IParam toggle;
  toggle.InitBool("Toggle", false);
  EXPECT_EQ(HostValueText(toggle, 1.0), "on");
  EXPECT_EQ(parsed(toggle, "off"), 0.0);
  EXPECT_EQ(parsed(toggle, "1"), std::nullopt);
}

TEST(ParamText, NumbersAreReadInTheParametersOwnUnitAndConstrained)
{
  IParam length;
  length.InitDouble("Length", 20.0, 0.2, 2000.0, 0.1, "ms");
  EXPECT_EQ(HostValueText(length, 125.26), "125.3") << "precision from the step; no label";
  EXPECT_EQ(parsed(length, "125.25"), 125.25) << "not stepped: the typed value";
  EXPECT_EQ(parsed(length, "12 ms"), 12.0);
  EXPECT_EQ(parsed(length, "1e9"), 2000.0);
  EXPECT_EQ(parsed(length, "-3"), 0.2);
  EXPECT_EQ(parsed(length, "ms"), std::nullopt);
  EXPECT_EQ(parsed(length, "nan"), std::nullopt);

  IParam voices;
  voices.InitInt("Voices", 4, 1, 8);
  EXPECT_EQ(parsed(voices, "5.4"), 5.0);

  IParam negated;
  negated.InitDouble("Depth", 0.0, -10.0, 0.0, 1.0, "", IParam::kParamFlagNegateDisplay);
  EXPECT_EQ(HostValueText(negated, -3.0), "3");
  EXPECT_EQ(parsed(negated, "3"), -3.0);
}

TEST(ParamText, DisplayFunctionsAreInvertedOnTheirGridAndBetweenIt)
{
  IParam pitch;
  initCents(pitch);
  EXPECT_EQ(HostValueText(pitch, 440.0), "+0.0 ct");
  // A text the grid shows exactly.
  EXPECT_EQ(parsed(pitch, "+0.0 ct"), 440.0);
  // 466.16 Hz, a semitone up, lies between the grid's 460 and 470.
  const std::optional<double> semitone = parsed(pitch, "+100.0 ct");
  ASSERT_TRUE(semitone);
  EXPECT_NEAR(*semitone, 440.0 * std::pow(2.0, 1.0 / 12.0), 0.01);
  EXPECT_EQ(HostValueText(pitch, *semitone), "+100.0 ct");
  // A number without the display's decoration: the nearest shown.
  const std::optional<double> fifthDown = parsed(pitch, "-702");
  ASSERT_TRUE(fifthDown);
  EXPECT_NEAR(*fifthDown, 440.0 * std::pow(2.0, -702.0 / 1200.0), 0.01);
  // Beyond the range: the end.
  EXPECT_EQ(parsed(pitch, "+5000"), 1000.0);
  EXPECT_EQ(parsed(pitch, "sharp"), std::nullopt);

  // Every text shown for values across the range reads back as the same text.
  for (double value = 100.0; value <= 1000.0; value += 7.3) {
    const std::string text = HostValueText(pitch, value);
    const std::optional<double> back = parsed(pitch, text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(HostValueText(pitch, *back), text);
  }
}
