#include <gtest/gtest.h>

#include "engine/release/ReleaseNotes.h"

TEST(ReleaseNotes, TextModeLines) {
  const std::pair<std::string, std::string> cases[] = {
      {"A\nB", "A\r\nB\r\n"},            // a last line without LF counts
      {"A\r\nB\r\n", "A\r\nB\r\n"},      // CR LF and LF give the same
      {"A\nB\n", "A\r\nB\r\n"},
      {"", ""},
      {"\n\n", "\r\n\r\n"},              // empty lines count
      {"A\rB\n", "A\rB\r\n"},            // a lone CR is text
      {"A\r\r\n", "A\r\r\n"},            // only the CR right before LF goes
      {"A\nB\x1A" "C\nD", "A\r\nB\r\n"},  // 0x1A ends the text
      {"\x1A" "A", ""},
      {std::string("A\0B\n", 4), std::string("A\0B\r\n", 5)},
      {"\xC9\xFD\xBC\xB6\n", "\xC9\xFD\xBC\xB6\r\n"},  // code page 936 bytes pass as they are
  };
  for (const auto& [file, notes] : cases) EXPECT_EQ(ReleaseNotesFromFileBytes(file), notes);
}
