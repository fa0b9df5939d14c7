// Checks of a word splitter written with vesk's registration macros: a fixture, a typed case, a
// table-driven case and every kind of check. Linked with vesk::harness_main, so it has no main.
// One case finds a bug that joinWords has on purpose.
#include <vesk/cases.hpp>

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

// Copies `word` into `room`, or fails with "OutOfMemory" when it does not fit.
vesk::Result<std::string_view> copyWord(std::string_view word, std::vector<char>& room) {
  if (word.size() > room.size()) return std::unexpected(vesk::Error::OutOfMemory);
  std::memcpy(room.data(), word.data(), word.size());
  return std::string_view(room.data(), word.size());
}

// Room for one word, made for each case that uses it (and checked for leaks with the case).
struct WordBuffer {
  std::vector<char> room = std::vector<char>(8);
};

struct Count {
  std::string_view line;
  std::size_t words;
};
constexpr Count COUNTS[] = {{"", 0}, {"north", 1}, {"  north  east ", 2}};

}  // namespace

VESK_CASE("words.splits at runs of spaces") {
  VESK_CHECK_EQ(splitWords("  north  east zenith "), (Words{"north", "east", "zenith"}));
}

VESK_CASE("words.a blank line has no words") {
  VESK_CHECK(splitWords("   ").empty());
}

VESK_CASE("words.joins with dashes") {
  VESK_CHECK_EQ(joinWords(splitWords("north east"), '-'), "north-east");
}

VESK_CASE("words.the second word") {
  const Words words = splitWords("north east");
  VESK_REQUIRE_EQ(words.size(), 2u);  // words[1] below needs it
  VESK_CHECK_EQ(words[1], "east");
}

VESK_CASE("words.the longest word") {
  VESK_CHECK_EQ(longestWord("a north by east"), "north");
  VESK_CHECK_EQ(longestWord(" "), std::nullopt);
}

VESK_CASE("words.order and lengths") {
  VESK_CHECK_LT(std::string_view("east"), "north");
  VESK_CHECK_LE(splitWords("a b").size(), 2u);
  VESK_CHECK_GT(joinWords({"a"}, ' ').size(), 0);
  VESK_CHECK_GE(meanLength("north east"), 4);
  VESK_CHECK_NE(longestWord("east"), "west");
}

VESK_CASE("words.mean length") {
  VESK_CHECK_APPROX(4.5, meanLength("north east"), 1e-12);
}

VESK_CASE("words.counts are digits") {
  VESK_CHECK_EQ(parseCount("42"), 42);
  VESK_CHECK_THROWS_AS(parseCount("4x"), std::invalid_argument);
  VESK_CHECK_NOTHROW(parseCount("7"));
}

VESK_CASE("words.spelling") {
  VESK_SKIP("needs a dictionary");
}

VESK_CASE_FIXTURE(WordBuffer, "words.a word copied to its room") {
  const std::string_view copy = VESK_REQUIRE_OK(copyWord("zenith", room));
  VESK_CHECK_EQ(copy, "zenith");
  VESK_CHECK_OK(copyWord("north", room));
}

VESK_CASE_TEMPLATE("words.a count fits", T, unsigned char, unsigned, std::size_t) {
  VESK_CHECK_EQ(static_cast<T>(splitWords("a b c").size()), 3);
}

VESK_CASE_TABLE("words.counted", count, COUNTS) {
  VESK_CHECK_EQ(splitWords(count.line).size(), count.words);
}
