// The parts of registered cases that end-to-end runs reach only at their edges, tested in-process:
// the order of integers across signedness, how long values are cut, and the names of typed cases.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include <vesk/cases.hpp>

namespace vesk {
namespace {

using cases_detail::integerOrder;

TEST(CaseChecks, IntegersCompareByValueAtTheEdgesOfEveryWidthAndSignedness) {
  EXPECT_EQ(integerOrder(INT64_MIN, UINT64_MAX), -1);
  EXPECT_EQ(integerOrder(UINT64_MAX, INT64_MIN), 1);
  EXPECT_EQ(integerOrder(-1, 0u), -1);
  EXPECT_EQ(integerOrder(0u, -1), 1);
  EXPECT_EQ(integerOrder(INT64_MAX, static_cast<std::uint64_t>(INT64_MAX)), 0);
  EXPECT_EQ(integerOrder(static_cast<unsigned char>(200), static_cast<signed char>(-56)), 1);
  EXPECT_EQ(integerOrder('a', 97u), 0);
  EXPECT_TRUE(cases_detail::equalValues(std::vector<int>{-1, 2}, std::vector<unsigned>{0, 2}) ==
              false);
  EXPECT_TRUE(cases_detail::equalValues("abc", std::string("abc")));
}

TEST(CaseChecks, AValueTooLongForItsTextIsCutAndSaysSo) {
  ValueText text;
  const std::string long_word(300, 'x');
  text.putQuoted(long_word);
  EXPECT_EQ(text.view().size(), 256u);
  EXPECT_TRUE(text.view().starts_with("\"xxx"));
  EXPECT_TRUE(text.view().ends_with("x..."));
  text.put("more");  // nothing is added after the cut
  EXPECT_TRUE(text.view().ends_with("x..."));
  ValueText small;
  small.putSigned(INT64_MIN).put(' ').putUnsigned(UINT64_MAX).put(' ').putPointer(0xabc);
  EXPECT_EQ(small.view(), "-9223372036854775808 18446744073709551615 0xabc");
}

TEST(CaseChecks, TypedCasesAreNamedByEachTypeAsWrittenNestedCommasIncluded) {
  constexpr std::string_view LIST = "int, std::pair<int, std::map<a, b>>,  unsigned char , f(x, y)";
  EXPECT_EQ(cases_detail::typeAt(LIST, 0), "int");
  EXPECT_EQ(cases_detail::typeAt(LIST, 1), "std::pair<int, std::map<a, b>>");
  EXPECT_EQ(cases_detail::typeAt(LIST, 2), "unsigned char");
  EXPECT_EQ(cases_detail::typeAt(LIST, 3), "f(x, y)");
  EXPECT_EQ(cases_detail::typeAt(LIST, 4), "");
}

}  // namespace
}  // namespace vesk
