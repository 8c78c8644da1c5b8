// SPDX-License-Identifier: ISC
#include "dsp/PowerBlock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

using namespace quennet;

namespace {
// The envelope exponents: 2^(4t) for fade amounts 0 … 1.
const double kExponents[] = {
  16.0, 9.18958683997628, 5.278031643091577, 4.0, 1.7411011265922482, 1.0, 0.574349177498517, 0.5, 0.378929141627599,
  0.25};
} // namespace

TEST(PowerBlock, PowersAgreeWithStdPow)
{
  // Bases over 0 … 1, dense near 0 and near 1 where envelopes start and peak.
  std::vector<double> bases;
  for (int k = 0; k <= 2000; ++k)
    bases.push_back(k / 2000.0);
  for (int k = 1; k <= 300; ++k)
    bases.push_back(std::ldexp(1.0, -k));
  for (int k = 1; k <= 50; ++k)
    bases.push_back(1.0 - std::ldexp(1.0, -k));
  bases.push_back(std::numeric_limits<double>::denorm_min());

  SCOPED_TRACE(powBlockUnit());
  for (double e : kExponents) {
    SCOPED_TRACE(e);
    // Every length, so that the vector tails are covered too.
    for (int n : {1, 2, 3, 4, 5, 6, 7, 8, 9, static_cast<int>(bases.size())}) {
      // Eight more places, which the call must leave alone.
      std::vector<double> out(static_cast<size_t>(n) + 8, -7.0);
      powBlock(bases.data(), e, out.data(), n);
      for (int i = 0; i < n; ++i) {
        const double exact = std::pow(bases[static_cast<size_t>(i)], e);
        ASSERT_NEAR(out[static_cast<size_t>(i)], exact, 2e-14 * exact + 1e-30)
          << "base " << bases[static_cast<size_t>(i)];
      }
      for (size_t i = static_cast<size_t>(n); i < out.size(); ++i)
        ASSERT_EQ(out[i], -7.0) << "written beyond " << n;
    }
    EXPECT_EQ(std::pow(0.0, e), 0.0);
    double zero = 0.0, out = -1.0;
    powBlock(&zero, e, &out, 1);
    EXPECT_EQ(out, 0.0);
    double one = 1.0;
    powBlock(&one, e, &out, 1);
    EXPECT_EQ(out, 1.0);
  }
}

TEST(PowerBlock, ExponentPerElementAndIndependentOfNeighbours)
{
  std::vector<double> bases, exponents;
  for (int k = 0; k < 37; ++k) {
    bases.push_back((k + 0.5) / 37.0);
    exponents.push_back(kExponents[k % 10]);
  }
  std::vector<double> together(bases.size());
  powBlock(bases.data(), exponents.data(), together.data(), static_cast<int>(bases.size()));
  for (size_t i = 0; i < bases.size(); ++i) {
    double alone = 0.0;
    powBlock(&bases[i], exponents[i], &alone, 1);
    EXPECT_EQ(together[i], alone) << i;
    EXPECT_NEAR(alone, std::pow(bases[i], exponents[i]), 2e-14 * alone);
  }
}

TEST(PowerBlock, UnitIsOneOfTheKnown)
{
  const std::string unit = powBlockUnit();
  EXPECT_TRUE(unit == "AVX-512" || unit == "AVX" || unit == "SSE2" || unit == "AdvSIMD" || unit == "scalar") << unit;
  // powBlock runs the first kernel; the portable scalar one is always there, last.
  const auto kernels = powBlockKernels();
  ASSERT_GE(kernels.size(), 1u);
  EXPECT_EQ(std::string(kernels.front().unit), unit);
  EXPECT_EQ(std::string(kernels.back().unit), "scalar");
#if defined(__x86_64__)
  EXPECT_EQ(std::string(kernels[kernels.size() - 2].unit), "SSE2");
#elif defined(__aarch64__)
  EXPECT_EQ(unit, "AdvSIMD");
#endif
}

TEST(PowerBlock, EveryKernelOfThisCpuAgreesWithStdPowAndLeavesTheRestAlone)
{
  // Each unit alone, whichever powBlock chose: the narrower units and the portable scalar loop
  // run on machines with other CPUs. Lengths around each unit's width, so every tail is covered.
  std::vector<double> bases;
  for (int k = 0; k <= 400; ++k)
    bases.push_back(k / 400.0);
  for (int k = 1; k <= 300; k += 7)
    bases.push_back(std::ldexp(1.0, -k));
  for (int k = 1; k <= 50; k += 3)
    bases.push_back(1.0 - std::ldexp(1.0, -k));
  bases.push_back(std::numeric_limits<double>::denorm_min());
  std::vector<double> exponents;
  for (size_t i = 0; i < bases.size(); ++i)
    exponents.push_back(kExponents[i % std::size(kExponents)]);

  for (const PowBlockKernel& kernel : powBlockKernels()) {
    SCOPED_TRACE(kernel.unit);
    for (int stride : {0, 1})
      for (int n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, static_cast<int>(bases.size())}) {
        SCOPED_TRACE(testing::Message() << "stride " << stride << ", " << n << " values");
        std::vector<double> out(static_cast<size_t>(n) + 8, -7.0);
        kernel.run(bases.data(), exponents.data(), stride, out.data(), n);
        for (int i = 0; i < n; ++i) {
          const double b = bases[static_cast<size_t>(i)];
          const double exact = std::pow(b, exponents[static_cast<size_t>(stride * i)]);
          ASSERT_NEAR(out[static_cast<size_t>(i)], exact, 2e-14 * exact + 1e-30) << "base " << b;
        }
        for (size_t i = static_cast<size_t>(n); i < out.size(); ++i)
          ASSERT_EQ(out[i], -7.0) << "written beyond " << n;
      }
  }
}
