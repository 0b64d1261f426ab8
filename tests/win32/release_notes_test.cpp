// The release-notes fetch of the start-up, against the test server.
#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"
#include "engine/release/ReleaseNotes.h"

using namespace testing_support;

namespace {

std::string g_serverState;

class ReleaseNotesFetch : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TestServer>(g_serverState);
    ASSERT_TRUE(server_->ok());
    server_->SetFaults("{}");
    folder_ = MakeTempFolder("notes");
  }
  void TearDown() override {
    server_->SetFaults("{}");
    RemoveTree(folder_);
  }
  std::string Fetch(const std::string& content) {
    server_->Put("UpdateContent.dll", content);
    return FetchReleaseNotes({server_->Base()}, W(folder_), {});
  }
  std::string Local() const { return folder_ + "UpdateContent.dat"; }
  std::string folder_;
  std::unique_ptr<TestServer> server_;
};

}  // namespace

TEST_F(ReleaseNotesFetch, LinesBecomeCrLfLinesAndTheFileGoes) {
  EXPECT_EQ(Fetch("A\nB"), "A\r\nB\r\n");
  EXPECT_FALSE(FileExists(Local()));
  EXPECT_EQ(Fetch("A\r\nB\r\n"), Fetch("A\nB\n"));
  EXPECT_EQ(Fetch("\xD0\xC2\xB0\xE6\xB1\xBE\n\x1A" "after"), "\xD0\xC2\xB0\xE6\xB1\xBE\r\n");
  EXPECT_EQ(Fetch(""), "");
  EXPECT_FALSE(FileExists(Local()));
}

// What the window shows: the notes are code page 936 by contract, decoded as
// such whatever the system's code page (this program also runs under 1252).
TEST_F(ReleaseNotesFetch, NotesReadAsCodePage936OnAnySystem) {
  const struct {
    const char* file;
    const wchar_t* shown;
  } kCases[] = {
      {"\xB0\xE6\xB1\xBE 2.0\n- \xB8\xFC\xBF\xEC", L"\u7248\u672C 2.0\r\n- \u66F4\u5FEB\r\n"},  // 版本, 更快
      {"\r\n\n\xA1\xB0OK\xA3\xA1\xA1\xB1\r\n", L"\r\n\r\n\u201COK\uFF01\u201D\r\n"},   // empty lines, “OK！”
      {"\xD5\x5C\x81\x5C\n\x1A" "after", L"\u8AA0\u4E57\r\n"},  // trail bytes 0x5C are no backslashes
      {"plain ASCII, last line without LF", L"plain ASCII, last line without LF\r\n"},
      {"", L""},
  };
  for (const auto& c : kCases) EXPECT_EQ(fw::FromGbk(Fetch(c.file)), c.shown) << c.file;
}

TEST_F(ReleaseNotesFetch, FailuresGiveEmptyNotes) {
  server_->SetFaults("{\"/UpdateContent.dll\": {\"status\": 404}}");
  EXPECT_EQ(Fetch("never seen"), "");
  EXPECT_FALSE(FileExists(Local()));

  // A cut transfer: empty notes, and what arrived stays at the local path.
  server_->SetFaults("{\"/UpdateContent.dll\": {\"cut_after\": 4}}");
  EXPECT_EQ(Fetch("0123456789"), "");
  EXPECT_EQ(ReadFileBytes(Local()), "0123");

  EXPECT_EQ(FetchReleaseNotes({"http://127.0.0.1:9/"}, W(folder_), {}), "");
  // A server that does not answer: the next base serves them.
  server_->SetFaults("{}");
  server_->Put("UpdateContent.dll", "from the next base\n");
  EXPECT_EQ(FetchReleaseNotes({"http://127.0.0.1:9/", server_->Base()}, W(folder_), {}), "from the next base\r\n");
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: release_notes_tests SERVER_STATE_DIR\n");
    return 2;
  }
  g_serverState = argv[1];
  return RUN_ALL_TESTS();
}
