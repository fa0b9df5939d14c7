// vesk-run's command line and case patterns, on strings.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "options.hpp"

namespace {

using vesk::globEscape;
using vesk::globMatch;
using vesk::driver::Options;
using vesk::driver::parseOptions;

TEST(Glob, MatchesWholeNamesWithStarsQuestionMarksAndEscapes) {
  EXPECT_TRUE(globMatch("vesk_*.test.*", "vesk_ecs.test.ECS: World findNearest"));
  EXPECT_FALSE(globMatch("vesk_*.test", "vesk_ecs.test.ECS"));  // the whole name
  EXPECT_TRUE(globMatch("*a*b*c", "xxaxxbxxbcxc"));             // stars give back what they took
  EXPECT_FALSE(globMatch("*a*b*c", "xxaxxbxxbx"));
  EXPECT_TRUE(globMatch("", ""));
  EXPECT_TRUE(globMatch("**", ""));
  // `?` is one character, not one byte.
  EXPECT_TRUE(globMatch("normalizeDet ? det ? 1", "normalizeDet → det ≈ 1"));
  EXPECT_FALSE(globMatch("S??", "S³"));
  // An escaped glob character matches only itself; an exact name always selects itself alone.
  EXPECT_FALSE(globMatch("what\\?", "whatx"));
  EXPECT_TRUE(globMatch("what\\?", "what?"));
  for (const std::string name : {"a*b?c\\d", "plain (name): ε", "\\", "*", "trailing\\"}) {
    EXPECT_TRUE(globMatch(globEscape(name), name)) << name;
    EXPECT_FALSE(globMatch(globEscape(name), name + "x")) << name;
  }
  EXPECT_FALSE(globMatch(globEscape("a*"), "abc"));
}

TEST(Options, ReadsEveryFormOfEachOption) {
  const std::vector<std::string_view> args = {"-j4",       "--filter", "a*", "--exclude=b",
                                              "--timeout", "2.5",      "-v", "--junit=r.xml",
                                              "--list",    "exe"};
  const auto options = parseOptions(args, 2);
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_EQ(options->jobs, 4u);
  EXPECT_EQ(options->filters, std::vector<std::string>{"a*"});
  EXPECT_EQ(options->excludes, std::vector<std::string>{"b"});
  EXPECT_EQ(options->timeout_seconds, 2.5);
  EXPECT_TRUE(options->verbose && options->list);
  EXPECT_EQ(options->junit_path, "r.xml");
  EXPECT_EQ(options->executable, "exe");

  const std::vector<std::string_view> spaced = {"-j", "3", "--", "-odd-name"};
  EXPECT_EQ(parseOptions(spaced, 2)->jobs, 3u);
  EXPECT_EQ(parseOptions(spaced, 2)->executable, "-odd-name");
  const std::vector<std::string_view> jobs = {"--jobs", "5", "exe"};
  EXPECT_EQ(parseOptions(jobs, 2)->jobs, 5u);
  EXPECT_EQ(parseOptions(std::vector<std::string_view>{"exe"}, 7)->jobs, 7u);

  for (const std::vector<std::string_view>& bad : {std::vector<std::string_view>{"-j", "exe"},
                                                   {"--timeout", "0", "exe"},
                                                   {"--timeout", "nan", "exe"},
                                                   {"--filter"},
                                                   {"a", "b"},
                                                   {"--junit=", "exe"}}) {
    EXPECT_FALSE(parseOptions(bad, 2).has_value()) << bad.front();
  }
}

}  // namespace
