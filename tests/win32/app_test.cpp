#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "app/UpdaterApp.h"

using namespace testing_support;

TEST(ModuleDirectoryTest, IsTheProgramsFolderWithItsBackslash) {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring dir = GetModuleDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), L'\\');
  EXPECT_EQ(std::wstring(path).rfind(dir, 0), 0u);
  EXPECT_EQ(std::wstring(path).substr(dir.size()).find(L'\\'), std::wstring::npos);
}

namespace {

enum class Outcome { Accepted, Refused, PageFilled };

struct HandoffCase {
  const char* name;
  std::vector<unsigned char> bytes;
  DWORD size;
  Outcome outcome;
  int mode;
  std::string base;
};

std::vector<unsigned char> Unterminated(size_t length) {
  std::vector<unsigned char> b = HandoffBytes(1, nullptr, std::string(length, 'u'));
  b.pop_back();
  return b;
}

}  // namespace

TEST(ReadHandoffTest, MappingsOfEveryShape) {
  const std::string base259(259, 'b');
  const HWND window = reinterpret_cast<HWND>(0x1234);
  const HandoffCase cases[] = {
      {"normal", HandoffBytes(1, window, "http://127.0.0.1:8080/up/"), 4096, Outcome::Accepted, 1,
       "http://127.0.0.1:8080/up/"},
      {"base of 259", HandoffBytes(2, window, base259), 8 + 260, Outcome::Accepted, 2, base259},
      {"empty base", HandoffBytes(3, window, ""), 9, Outcome::Accepted, 3, ""},
      {"odd mode", HandoffBytes(7, window, "x/"), 64, Outcome::Accepted, 7, "x/"},
      {"unterminated in 260", Unterminated(300), 8 + 300, Outcome::Refused, 0, ""},
      // Where the system reports only whole pages for a mapping (Wine does),
      // the zero bytes after the object's end are what the reader sees.
      {"ends at the mapping's end", Unterminated(20), 8 + 20, Outcome::PageFilled, 1, std::string(20, 'u')},
      {"smaller than 8 bytes", {1, 0, 0, 0}, 4, Outcome::PageFilled, 1, ""},
  };
  for (const HandoffCase& c : cases) {
    SCOPED_TRACE(c.name);
    fw::ScopedHandle mapping = CreateNamedMapping("@_KELMO_UPDATE_@", c.bytes, c.size);
    ASSERT_TRUE(mapping);
    UpdaterApp app;
    const bool read = app.ReadHandoff();
    if (c.outcome == Outcome::Accepted) {
      ASSERT_TRUE(read);
      EXPECT_EQ(app.m_nUpdateMode, c.mode);
      EXPECT_EQ(app.m_hProductWnd, window);
      EXPECT_EQ(std::string(app.m_szServerBase), c.base);
    } else if (c.outcome == Outcome::PageFilled && read) {
      EXPECT_EQ(app.m_nUpdateMode, c.mode);
      EXPECT_EQ(std::string(app.m_szServerBase), c.base);
    } else {
      EXPECT_FALSE(read);
      EXPECT_EQ(app.m_nUpdateMode, 0);
      EXPECT_EQ(app.m_szServerBase[0], '\0');
    }
  }
}

TEST(ReadHandoffTest, NoMappingNoHandoff) {
  UpdaterApp app;
  EXPECT_FALSE(app.ReadHandoff());
}

TEST(ReadHandoffTest, TheMappingIsReleasedAfterReading) {
  fw::ScopedHandle mapping = CreateNamedMapping("@_KELMO_UPDATE_@", HandoffBytes(1, nullptr, "a"), 64);
  UpdaterApp app;
  ASSERT_TRUE(app.ReadHandoff());
  mapping.reset();
  // Only our handle kept it alive: it is gone once we let it go.
  fw::ScopedHandle again(::OpenFileMappingA(FILE_MAP_READ, FALSE, "@_KELMO_UPDATE_@"));
  EXPECT_FALSE(again);
}
