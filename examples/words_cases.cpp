// Checks of one's own code on vesk's harness: a word splitter and joiner, three cases. The
// containers are on vesk::StdAllocator, so each case is checked for leaks; expectEqual prints both
// values when they differ. The last case finds a bug that joinWords has on purpose.
#include <vesk/vesk_harness.hpp>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Words = std::vector<std::string_view, vesk::StdAllocator<std::string_view>>;
using Text = std::basic_string<char, std::char_traits<char>, vesk::StdAllocator<char>>;

// The code under test: the words of `line`, separated by runs of spaces, and their joining.
Words splitWords(std::string_view line) {
  Words words;
  for (std::size_t end = 0;;) {
    const std::size_t start = line.find_first_not_of(' ', end);
    if (start == std::string_view::npos) return words;
    end = std::min(line.find(' ', start), line.size());
    words.push_back(line.substr(start, end - start));
  }
}

Text joinWords(const Words& words, char separator) {
  Text text;
  for (const std::string_view word : words) {
    text += word;
    text += separator;  // the bug: after the last word too
  }
  return text;
}

vesk::Result<void> splitsAtRunsOfSpaces() {
  VESK_TRY(vesk::expectEqual({"north", "east", "zenith"}, splitWords("  north  east zenith ")));
  return {};
}

vesk::Result<void> aBlankLineHasNoWords() {
  VESK_TRY(vesk::expectEqual(0, splitWords("   ").size()));
  return {};
}

vesk::Result<void> joinsWithDashes() {
  VESK_TRY(vesk::expectEqual("north-east", joinWords(splitWords("north east"), '-')));
  return {};
}

constexpr vesk::TestCase CASES[] = {
    {"words.test.splits at runs of spaces", splitsAtRunsOfSpaces},
    {"words.test.a blank line has no words", aBlankLineHasNoWords},
    {"words.test.joins with dashes", joinsWithDashes},
};

}  // namespace

int main(int argc, char** argv) {
  return vesk::harnessMain(argc, argv, CASES);
}
