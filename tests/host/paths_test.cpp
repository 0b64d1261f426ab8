#include <gtest/gtest.h>

#include "framework/Paths.h"

TEST(Paths, DirectoryOfPath) {
  struct Case {
    const char* path;
    const char* directory;
    const char* backslashOnly;
  };
  const Case cases[] = {
      {"C:\\A\\p.exe", "C:\\A\\", "C:\\A\\"},
      {"C:\\A\\B\\x.exe", "C:\\A\\B\\", "C:\\A\\B\\"},
      {"a/b/p.exe", "a/b/", ""},
      {"p.exe", "", ""},
      {"", "", ""},
      {"C:\\A/b/p.exe", "C:\\", "C:\\"},  // a backslash wins over later slashes
      {"C:\\dir\\", "C:\\dir\\", "C:\\dir\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetDirectoryOfPath(c.path), c.directory) << c.path;
    EXPECT_EQ(DirectoryUpToLastBackslash(c.path), c.backslashOnly) << c.path;
  }
}

TEST(Paths, DoubleByteTrailBytesAreNotSeparators) {
  // "C:\<D5 5C>\x.exe" with GBK: D5 5C is one character, the real separators
  // are the two plain backslashes; and a name ending in such a character.
  const std::string path = "C:\\\xD5\x5C\\x.exe";
  EXPECT_EQ(GetDirectoryOfPath(path, IsGbkLeadByte), "C:\\\xD5\x5C\\");
  const std::string noSeparatorAfter = "C:\\dir\\\xD5\x5Cx.exe";
  EXPECT_EQ(DirectoryUpToLastBackslash(noSeparatorAfter, IsGbkLeadByte), "C:\\dir\\");
  // Read byte by byte, the trail byte would end the directory too early.
  EXPECT_EQ(DirectoryUpToLastBackslash(noSeparatorAfter), "C:\\dir\\\xD5\x5C");
  EXPECT_EQ(GetDirectoryOfPath("a/\xB0\x2F" "b.exe", IsGbkLeadByte), "a/");
}
