// Expectations and the float form of their messages, tested in-process.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <vesk/expect.hpp>
#include <vesk/log.hpp>

#include "sink_capture.hpp"
#include "writer.hpp"

namespace vesk {
namespace {

template <class F>
std::string shown(F value) {
  char buf[32];
  return std::string(formatFloat(buf, value));
}

TEST(FormatFloat, PrintsTheShortestScientificFormWithoutPlusSignsOrPaddedExponents) {
  EXPECT_EQ(shown(1.0), "1e0");
  EXPECT_EQ(shown(0.5), "5e-1");
  EXPECT_EQ(shown(-2.5), "-2.5e0");
  EXPECT_EQ(shown(0.0), "0e0");
  EXPECT_EQ(shown(-0.0), "-0e0");
  EXPECT_EQ(shown(1e-10), "1e-10");
  EXPECT_EQ(shown(123456.0), "1.23456e5");
  EXPECT_EQ(shown(0.1 + 0.2), "3.0000000000000004e-1");
  EXPECT_EQ(shown(std::numeric_limits<double>::denorm_min()), "5e-324");
  EXPECT_EQ(shown(std::numeric_limits<double>::max()), "1.7976931348623157e308");
}

TEST(FormatFloat, NamesNanAndInfinitiesWithTheirSign) {
  EXPECT_EQ(shown(std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(shown(-std::numeric_limits<double>::quiet_NaN()), "nan");
  EXPECT_EQ(shown(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(shown(-std::numeric_limits<float>::infinity()), "-inf");
}

TEST(FormatFloat, PrintsSinglePrecisionValuesAtTheirOwnPrecision) {
  EXPECT_EQ(shown(0.1f), "1e-1");
  EXPECT_EQ(shown(9.99999975e-06f), "1e-5");
  EXPECT_EQ(shown(0.6000000238418579f), "6e-1");
  EXPECT_EQ(shown(static_cast<double>(0.1f)), "1.0000000149011612e-1");
}

template <class F, class Bits>
void expectRoundTrips(Bits bits) {
  const F value = std::bit_cast<F>(bits);
  if (std::isnan(value)) return;
  const std::string text = shown(value);
  F back{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), back);
  ASSERT_EQ(ec, std::errc()) << text;
  ASSERT_EQ(end, text.data() + text.size()) << text;
  if (std::isinf(value)) {
    EXPECT_EQ(text, value > 0 ? "inf" : "-inf");
  } else {
    EXPECT_EQ(std::bit_cast<Bits>(back), bits) << text;
  }
}

TEST(FormatFloat, EveryPrintedValueReadsBackToTheSameBits) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 200000; ++i) {
    expectRoundTrips<double>(random());
    expectRoundTrips<float>(static_cast<std::uint32_t>(random()));
  }
}

class Expectations : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = setActiveErrorTrace(&trace_); }
  void TearDown() override { setActiveErrorTrace(previous_); }
  ErrorTrace trace_;
  ErrorTrace* previous_ = nullptr;
};

TEST_F(Expectations, TruthReturnsTestUnexpectedResultAndRecordsOneErrorReturn) {
  EXPECT_TRUE(expect(true).has_value());
  EXPECT_EQ(trace_.index, 0u);
  const Result<void> r = expect(false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::TestUnexpectedResult);
  EXPECT_EQ(trace_.index, 1u);
}

TEST_F(Expectations, CloseValuesPassIncludingADifferenceEqualToTheTolerance) {
  testing::SinkCapture sink;
  EXPECT_TRUE(expectApproxEqAbs(1.0, 1.0 + 1e-12, 1e-10).has_value());
  EXPECT_TRUE(expectApproxEqAbs(1.0, 1.5, 0.5).has_value());
  EXPECT_TRUE(expectApproxEqAbs(0.25f, 0.5f, 0.25f).has_value());
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(expectApproxEqAbs(inf, inf, 0.0).has_value());
  EXPECT_EQ(sink.take(), "");
  EXPECT_EQ(trace_.index, 0u);
}

TEST_F(Expectations, DistantValuesFailWithTheMessageInActualToleranceExpectedOrder) {
  testing::SinkCapture sink;
  const Result<void> r = expectApproxEqAbs(2.0, 1.0, 1e-10);
  EXPECT_EQ(sink.take(), "actual 1e0, not within absolute tolerance 1e-10 of expected 2e0\n");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), Error::TestExpectedApproxEqAbs);
  EXPECT_EQ(trace_.index, 1u);
}

TEST_F(Expectations, TheDifferenceIsComputedInTheOperandsPrecision) {
  testing::SinkCapture sink;
  // 1.1 - 1.0 is 0.10000000000000009 in doubles: just above the tolerance.
  EXPECT_FALSE(expectApproxEqAbs(1.0, 1.1, 0.1).has_value());
  EXPECT_FALSE(expectApproxEqAbs(3.0, 3.1, 0.1).has_value());
  // In single precision 3.1 rounds down, so the same comparison passes.
  EXPECT_TRUE(expectApproxEqAbs(3.0f, 3.1f, 0.1f).has_value());
  sink.take();
}

TEST_F(Expectations, NanNeverMatchesAndOppositeInfinitiesDiffer) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  testing::SinkCapture sink;
  EXPECT_FALSE(expectApproxEqAbs(nan, nan, 1e300).has_value());
  EXPECT_FALSE(expectApproxEqAbs(inf, -inf, 1e300).has_value());
  EXPECT_FALSE(expectApproxEqAbs(1.0, nan, inf).has_value());
  EXPECT_EQ(sink.take(),
            "actual nan, not within absolute tolerance 1e300 of expected nan\n"
            "actual -inf, not within absolute tolerance 1e300 of expected inf\n"
            "actual nan, not within absolute tolerance inf of expected 1e0\n");
}

// The message forms the end-to-end tests leave out; each failure records one error return.
TEST_F(Expectations, ExpectEqualComparesByValueAndPrintsEachKindInItsOwnForm) {
  enum class Colour : std::uint8_t { red = 1, green = 2 };
  char buffer[8] = "abc";  // the tail after the zero byte is not part of the string
  const char* null = nullptr;
  const std::vector<std::string_view> words = {"north", std::string_view("z\0", 2)};
  testing::SinkCapture sink;
  EXPECT_TRUE(expectEqual(3, std::size_t{3}).has_value());
  EXPECT_TRUE(expectEqual(-0.0, 0.0).has_value());
  EXPECT_TRUE(expectEqual(buffer, std::vector<char>{'a', 'b', 'c'}).has_value());
  EXPECT_EQ(trace_.index, 0u);
  EXPECT_EQ(expectEqual(-1, UINT64_MAX), std::unexpected(Error::TestExpectedEqual));  // same bits
  EXPECT_FALSE(expectEqual(true, false).has_value());
  EXPECT_FALSE(expectEqual(Colour::red, Colour::green).has_value());
  EXPECT_FALSE(expectEqual('a', '\'').has_value());
  EXPECT_FALSE(expectEqual(0.1f, 0.1).has_value());
  EXPECT_FALSE(expectEqual(std::nan(""), std::nan("")).has_value());
  EXPECT_FALSE(expectEqual("a-b-c", std::string_view("a-b-c-")).has_value());
  EXPECT_FALSE(expectEqual(null, "abc").has_value());
  EXPECT_FALSE(expectEqual({"north", "z"}, words).has_value());
  EXPECT_FALSE(expectEqual(std::span<const int>(), std::vector<int>{1, 2, 3, 4, 5}).has_value());
  EXPECT_EQ(trace_.index, 10u);
  EXPECT_EQ(sink.take(),
            "expected -1, found 18446744073709551615\n"
            "expected true, found false\n"
            "expected 1, found 2\n"
            "expected 'a', found '\\''\n"
            "expected 1.0000000149011612e-1, found 1e-1\n"
            "expected nan, found nan\n"
            "strings differ at byte 5 (expected 5 bytes, found 6): "
            "expected \"a-b-c\", found \"a-b-c-\"\n"
            "expected null, found \"abc\"\n"
            "sequences differ at index 1 (expected 2 elements, found 2): "
            "expected [\"north\", \"z\"], found [\"north\", \"z\\x00\"]\n"
            "sequences differ at index 0 (expected 0 elements, found 5): "
            "expected [], found [1, 2, 3, ...]\n");
}

TEST(ExpectationsDeathTest, ANegativeOrNanToleranceStops) {
  EXPECT_DEATH(std::ignore = expectApproxEqAbs(1.0, 1.0, -1.0), "panic: reached unreachable code");
  EXPECT_DEATH(std::ignore = expectApproxEqAbs(1.0f, 2.0f, std::nanf("")),
               "panic: reached unreachable code");
}

}  // namespace
}  // namespace vesk
