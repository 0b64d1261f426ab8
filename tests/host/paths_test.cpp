#include <gtest/gtest.h>

#include "framework/Paths.h"

TEST(Paths, DirectoryOfPath) {
  struct Case {
    const wchar_t* path;
    const wchar_t* directory;
    const wchar_t* backslashOnly;
  };
  const Case cases[] = {
      {L"C:\\A\\p.exe", L"C:\\A\\", L"C:\\A\\"},
      {L"C:\\A\\B\\x.exe", L"C:\\A\\B\\", L"C:\\A\\B\\"},
      {L"a/b/p.exe", L"a/b/", L""},
      {L"p.exe", L"", L""},
      {L"", L"", L""},
      {L"C:\\A/b/p.exe", L"C:\\", L"C:\\"},  // a backslash wins over later slashes
      {L"C:\\dir\\", L"C:\\dir\\", L"C:\\dir\\"},
      // Names no single code page spells, and characters whose code page 932
      // or 936 forms end in the byte of a backslash (表 is 95 5C in 932).
      {L"C:\\\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF\\p.exe", L"C:\\\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF\\",
       L"C:\\\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF\\"},
      {L"C:\\dir\\\u8868x.exe", L"C:\\dir\\", L"C:\\dir\\"},
      {L"a/\u8868/b.exe", L"a/\u8868/", L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetDirectoryOfPath(c.path), c.directory);
    EXPECT_EQ(DirectoryUpToLastBackslash(c.path), c.backslashOnly);
  }
}
