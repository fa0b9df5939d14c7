// The source line and caret under a trace entry, formatted on strings: where the caret goes for
// tabs and multi-byte characters, and when there is none.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "symbolize.hpp"

namespace {

// What printSourceLine writes for these arguments.
std::string printed(std::string_view source, std::uint64_t column, bool coloured = false) {
  const int fd = ::memfd_create("source_line", 0);
  EXPECT_GE(fd, 0);
  {
    vesk::Writer out(fd);
    vesk::printSourceLine(out, source, column, coloured);
  }
  std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  ::close(fd);
  return text;
}

TEST(SourceLine, CaretStandsUnderTheColumn) {
  EXPECT_EQ(printed("  return VESK_FAIL(err);", 10), "  return VESK_FAIL(err);\n         ^\n");
  EXPECT_EQ(printed("x = 1;", 1), "x = 1;\n^\n");
  // The last character is still on the line.
  EXPECT_EQ(printed("f();", 4), "f();\n   ^\n");
}

TEST(SourceLine, TabsAreCopiedAndCharactersCountOnceWhateverTheirBytes) {
  EXPECT_EQ(printed("\t\tcall();", 3), "\t\tcall();\n\t\t^\n");
  EXPECT_EQ(printed(" \tx", 3), " \tx\n \t^\n");
  // "é" is two bytes and "→" three: the column counts bytes, the caret characters.
  EXPECT_EQ(printed("é→ y", 7), "é→ y\n   ^\n");
}

TEST(SourceLine, NoCaretForColumnZeroOrPastTheEnd) {
  EXPECT_EQ(printed("int x;", 0), "int x;\n");
  EXPECT_EQ(printed("int x;", 7), "int x;\n");
  EXPECT_EQ(printed("", 1), "\n");
}

TEST(SourceLine, OnlyTheCaretIsColoured) {
  EXPECT_EQ(printed("\tgo();", 2, true), "\tgo();\n\t\x1b[1;32m^\x1b[0m\n");
  EXPECT_EQ(printed("go();", 0, true), "go();\n");
}

}  // namespace
