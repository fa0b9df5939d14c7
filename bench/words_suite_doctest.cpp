// The suite of examples/words_suite.cpp written with doctest, for bench/compile_time only: the
// same code under test and the same cases, so that the two files' compile times compare the
// frameworks. Never built by the project.
#include <doctest/doctest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Words = std::vector<std::string_view>;

// The code under test: the words of `line`, separated by runs of spaces, and what is made of them.
Words splitWords(std::string_view line) {
  Words words;
  for (std::size_t end = 0;;) {
    const std::size_t start = line.find_first_not_of(' ', end);
    if (start == std::string_view::npos) return words;
    end = std::min(line.find(' ', start), line.size());
    words.push_back(line.substr(start, end - start));
  }
}

std::string joinWords(const Words& words, char separator) {
  std::string text;
  for (const std::string_view word : words) {
    text += word;
    text += separator;  // the bug: after the last word too
  }
  return text;
}

std::optional<std::string_view> longestWord(std::string_view line) {
  const Words words = splitWords(line);
  if (words.empty()) return std::nullopt;
  return *std::ranges::max_element(words, {}, &std::string_view::size);
}

double meanLength(std::string_view line) {
  const Words words = splitWords(line);
  double total = 0;
  for (const std::string_view word : words)
    total += static_cast<double>(word.size());
  return words.empty() ? 0 : total / static_cast<double>(words.size());
}

unsigned parseCount(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    throw std::invalid_argument("not a count");
  }
  return static_cast<unsigned>(std::stoul(std::string(text)));
}

// Copies `word` into `room`, or returns nothing when it does not fit.
std::optional<std::string_view> copyWord(std::string_view word, std::vector<char>& room) {
  if (word.size() > room.size()) return std::nullopt;
  std::memcpy(room.data(), word.data(), word.size());
  return std::string_view(room.data(), word.size());
}

// Room for one word, made for each case that uses it.
struct WordBuffer {
  std::vector<char> room = std::vector<char>(8);
};

struct Count {
  std::string_view line;
  std::size_t words;
};
constexpr Count counts[] = {{"", 0}, {"north", 1}, {"  north  east ", 2}};

}  // namespace

TEST_CASE("words.splits at runs of spaces") {
  CHECK_EQ(splitWords("  north  east zenith "), (Words{"north", "east", "zenith"}));
}

TEST_CASE("words.a blank line has no words") {
  CHECK(splitWords("   ").empty());
}

TEST_CASE("words.joins with dashes") {
  CHECK_EQ(joinWords(splitWords("north east"), '-'), "north-east");
}

TEST_CASE("words.the second word") {
  const Words words = splitWords("north east");
  REQUIRE_EQ(words.size(), 2u);  // words[1] below needs it
  CHECK_EQ(words[1], "east");
}

TEST_CASE("words.the longest word") {
  CHECK_EQ(longestWord("a north by east"), "north");
  CHECK_EQ(longestWord(" "), std::nullopt);
}

TEST_CASE("words.order and lengths") {
  CHECK_LT(std::string_view("east"), "north");
  CHECK_LE(splitWords("a b").size(), 2u);
  CHECK_GT(joinWords({"a"}, ' ').size(), 0u);
  CHECK_GE(meanLength("north east"), 4);
  CHECK_NE(longestWord("east"), "west");
}

TEST_CASE("words.mean length") {
  CHECK(std::abs(4.5 - meanLength("north east")) <= 1e-12);
}

TEST_CASE("words.counts are digits") {
  CHECK_EQ(parseCount("42"), 42u);
  CHECK_THROWS_AS(parseCount("4x"), std::invalid_argument);
  CHECK_NOTHROW(parseCount("7"));
}

TEST_CASE("words.spelling" * doctest::skip()) {}

TEST_CASE_FIXTURE(WordBuffer, "words.a word copied to its room") {
  const std::optional<std::string_view> copy = copyWord("zenith", room);
  REQUIRE(copy.has_value());
  CHECK_EQ(*copy, "zenith");
  CHECK(copyWord("north", room).has_value());
}

TEST_CASE_TEMPLATE("words.a count fits", T, unsigned char, unsigned, std::size_t) {
  CHECK_EQ(static_cast<T>(splitWords("a b c").size()), 3u);
}

TEST_CASE("words.counted") {
  for (const Count& count : counts) {
    CAPTURE(count.line);
    CHECK_EQ(splitWords(count.line).size(), count.words);
  }
}
