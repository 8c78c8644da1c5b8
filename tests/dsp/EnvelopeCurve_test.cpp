// SPDX-License-Identifier: ISC
#include "dsp/EnvelopeCurve.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace quennet;

// Blocks of positions give what value() gives for each, within the powers' rounding (exactly,
// where no general power is needed: exponent 1, or sides switched off).
TEST(EnvelopeCurve, BlockValuesAgreeWithSingleValues)
{
  struct Case {
    double fadeIn, fadeOut, skew;
    bool exact;
  };
  const Case cases[] = {
    {0.0, 0.0, 0.5, true},   {0.5, 0.5, 0.5, true},   {0.5, 0.0, 0.7, true},    {0.0, 0.5, 0.0, true},
    {0.2, 0.2, 0.5, false},  {0.2, 0.3, 0.35, false}, {0.25, 0.25, 0.5, false}, {1e-12, 1e-12, 0.4, false},
    {0.75, 1.0, 0.6, false}, {1.0, 0.2, 1.0, false},  {0.3, 0.7, 0.0, false},   {0.5, 0.75, 0.25, false},
  };
  std::vector<double> x;
  for (int k = 0; k < 1000; ++k)
    x.push_back(k / 1000.0);
  x.push_back(0.999999999);
  std::vector<double> out(x.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fades " << c.fadeIn << "/" << c.fadeOut << ", skew " << c.skew);
    EnvelopeCurve curve;
    curve.setFadeIn(c.fadeIn);
    curve.setFadeOut(c.fadeOut);
    curve.values(x.data(), out.data(), static_cast<int>(x.size()), c.skew);
    for (size_t i = 0; i < x.size(); ++i) {
      const double single = curve.value(x[i], c.skew);
      if (c.exact) {
        ASSERT_EQ(out[i], single) << "x " << x[i];
      } else {
        ASSERT_NEAR(out[i], single, 1e-14) << "x " << x[i];
      }
      ASSERT_GE(out[i], 0.0);
      ASSERT_LE(out[i], 1.0);
    }
  }
}

// The exponent of a fade amount a: 2^(4 (1 − 2a)) up to a = 0.5, then 2^(4 (0.5 − a)).
TEST(EnvelopeCurve, ExponentsOfTheFadeAmounts)
{
  const double amounts[] = {0.0, 0.25, 0.5, 0.75, 1.0};
  const double exponents[] = {16.0, 4.0, 1.0, 0.5, 0.25};
  for (int i = 0; i < 5; ++i) {
    EnvelopeCurve curve;
    curve.setFadeIn(amounts[i]);
    curve.setFadeOut(amounts[i]);
    EXPECT_DOUBLE_EQ(curve.fadeInExponent(), exponents[i]) << amounts[i];
    EXPECT_DOUBLE_EQ(curve.fadeOutExponent(), exponents[i]) << amounts[i];
  }
}

TEST(EnvelopeCurve, FlatOnlyWhereNoSideIsShaped)
{
  struct Case {
    double fadeIn, fadeOut, skew;
    bool flat;
  };
  const Case cases[] = {
    {0.0, 0.0, 0.5, true},  {0.3, 0.0, 0.0, true},  {0.0, 0.3, 1.0, true},
    {0.3, 0.0, 0.1, false}, {0.0, 0.3, 0.9, false}, {0.1, 0.1, 0.5, false},
  };
  for (const Case& c : cases) {
    EnvelopeCurve curve;
    curve.setFadeIn(c.fadeIn);
    curve.setFadeOut(c.fadeOut);
    EXPECT_EQ(curve.isFlat(c.skew), c.flat) << c.fadeIn << "/" << c.fadeOut << " at " << c.skew;
    if (c.flat) {
      for (double x : {0.0, 0.05, 0.5, 0.95})
        EXPECT_EQ(curve.value(x, c.skew), 1.0);
    }
  }
}
