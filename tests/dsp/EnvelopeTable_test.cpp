// SPDX-License-Identifier: ISC
#include "dsp/EnvelopeTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace quennet;

namespace {
EnvelopeCurve curve(double fadeIn, double fadeOut)
{
  EnvelopeCurve c;
  c.setFadeIn(fadeIn);
  c.setFadeOut(fadeOut);
  return c;
}

// What the curve gives for the positions k / length in one block.
std::vector<double> blockValues(const EnvelopeCurve& c, double skew, int length)
{
  std::vector<double> x(static_cast<size_t>(length)), out(static_cast<size_t>(length));
  for (int k = 0; k < length; ++k)
    x[static_cast<size_t>(k)] = static_cast<double>(k) / length;
  c.values(x.data(), out.data(), length, skew);
  return out;
}
} // namespace

TEST(EnvelopeTable, HoldsTheCurveAtWholePositions)
{
  struct Case {
    double fadeIn, fadeOut, skew;
    int length;
  };
  const Case cases[] = {{0.2, 0.2, 0.5, 960}, {0.5, 0.0, 0.7, 1000}, {0.0, 0.7, 0.0, 1}, {1.0, 0.25, 0.33, 4096}};
  EnvelopeTable table;
  table.reserve(4096);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length << ", skew " << c.skew);
    const EnvelopeCurve shape = curve(c.fadeIn, c.fadeOut);
    const double* values = table.values(shape, c.skew, c.length);
    ASSERT_NE(values, nullptr);
    const std::vector<double> expected = blockValues(shape, c.skew, c.length);
    for (int k = 0; k < c.length; ++k) {
      ASSERT_EQ(values[k], expected[static_cast<size_t>(k)]) << "position " << k;
      ASSERT_NEAR(values[k], shape.value(static_cast<double>(k) / c.length, c.skew), 1e-13);
    }
  }
}

TEST(EnvelopeTable, FollowsEveryChangeOfCurveSkewAndLength)
{
  EnvelopeTable table;
  table.reserve(1000);
  const EnvelopeCurve a = curve(0.2, 0.2);
  const EnvelopeCurve b = curve(0.2, 0.3);
  EXPECT_EQ(table.values(a, 0.5, 100)[30], a.value(0.3, 0.5));
  EXPECT_EQ(table.values(b, 0.5, 100)[70], blockValues(b, 0.5, 100)[70]) << "another curve";
  EXPECT_EQ(table.values(b, 0.25, 100)[20], blockValues(b, 0.25, 100)[20]) << "another skew";
  EXPECT_EQ(table.values(b, 0.25, 200)[20], blockValues(b, 0.25, 200)[20]) << "another length";
}

TEST(EnvelopeTable, OnlyWholeLengthsWithinTheCapacity)
{
  EnvelopeTable table;
  const EnvelopeCurve c = curve(0.2, 0.2);
  EXPECT_EQ(table.values(c, 0.5, 10), nullptr) << "no room yet";
  table.reserve(100);
  EXPECT_NE(table.values(c, 0.5, 100), nullptr);
  for (double length : {101.0, 10.5, 0.0, -3.0})
    EXPECT_EQ(table.values(c, 0.5, length), nullptr) << length;
}

TEST(EnvelopeTable, WorkedOutAsFarAsAskedGivesTheSameValues)
{
  // Asked for the positions below a pass's end, pass after pass (and a jump back to the start, as
  // a new frame makes), the table holds what it holds when worked out at once.
  const EnvelopeCurve shape = curve(0.2, 0.35);
  const int length = 3000;
  const std::vector<double> expected = blockValues(shape, 0.4, length);
  EnvelopeTable table;
  table.reserve(length);
  for (int needed : {1, 128, 129, 700, 3000, 5, 4000}) {
    SCOPED_TRACE(needed);
    const double* values = table.values(shape, 0.4, length, needed);
    ASSERT_NE(values, nullptr);
    for (int k = 0; k < std::min(needed, length); ++k)
      ASSERT_EQ(values[k], expected[static_cast<size_t>(k)]) << "position " << k;
  }
  // Another skew starts over, from its first position.
  const std::vector<double> other = blockValues(shape, 0.6, length);
  const double* values = table.values(shape, 0.6, length, 10);
  for (int k = 0; k < 10; ++k)
    EXPECT_EQ(values[k], other[static_cast<size_t>(k)]);
}
