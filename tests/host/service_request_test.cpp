// What the update service accepts as a request: two plain local paths, and
// in the staging folder only the release's files under the names the
// updater gives them.
#include <gtest/gtest.h>

#include "engine/install/ServiceRequest.h"

TEST(ServiceRequest, OnlyTwoPlainLocalPathsMakeARequest) {
  const std::wstring folder = L"C:\\Program Files\\Velnoria", staging = L"C:\\Users\\u\\AppData\\Local\\Velnoria\\Updater\\1\\UpgradeBackup_P";
  struct Case {
    std::vector<std::wstring> arguments;
    bool accepted;
  };
  const Case cases[] = {
      {{folder, staging}, true},
      {{folder + L"\\", staging + L"\\"}, true},
      {{L"d:\\v", L"d:\\w"}, true},
      {{}, false},
      {{folder}, false},
      {{folder, staging, L"C:\\Windows\\System32\\cmd.exe"}, false},
      {{folder, L"C:\\Users\\u\\..\\..\\Windows"}, false},
      {{folder, L"C:\\Users\\u\\.\\stage"}, false},
      {{folder, L"C:\\Users\\u\\stage."}, false},   // the platform drops a trailing dot: another name
      {{folder, L"C:\\Users\\u\\stage "}, false},
      {{folder, L"C:\\Users\\u\\stage:stream"}, false},
      {{folder, L"C:\\Users\\u\\CON"}, false},
      {{folder, L"C:\\Users\\u\\com1.txt"}, false},
      {{folder, L"C:/Users/u/stage"}, false},
      {{folder, L"\\\\server\\share\\stage"}, false},
      {{folder, L"\\\\?\\C:\\stage"}, false},
      {{folder, L"stage"}, false},
      {{folder, L"C:stage"}, false},
      {{folder, L"C:\\a\\\\b"}, false},               // an empty name
      {{folder, L"C:\\" + std::wstring(kMaxRequestPath, L'a')}, false},
      {{folder, folder + L"\\stage"}, false},         // the staging folder inside the install folder
      {{L"C:\\PROGRAM FILES\\velnoria\\x", folder}, false},
  };
  for (const Case& c : cases) {
    std::wstring shown;
    for (const std::wstring& a : c.arguments) shown += L"[" + a + L"]";
    EXPECT_EQ(ParseServiceRequest(c.arguments).has_value(), c.accepted) << std::string(shown.begin(), shown.end());
  }
  const std::optional<ServiceRequest> request = ParseServiceRequest({folder, staging});
  ASSERT_TRUE(request);
  EXPECT_EQ(request->folder, folder + L"\\");
  EXPECT_EQ(request->staging, staging + L"\\");
  EXPECT_TRUE(SameFolderName(L"C:\\PROGRAM FILES\\velnoria\\", folder));
  EXPECT_FALSE(SameFolderName(L"C:\\Program Files\\Velnoria2", folder));
}

TEST(ServiceRequest, TheStagingFolderHoldsOnlyTheReleasesFilesByTheirStagedNames) {
  struct Case {
    const wchar_t* name;
    std::optional<StagedEntry::Kind> kind;
    const char* module;
  };
  const Case cases[] = {
      {L"Velkor.dll.tmp", StagedEntry::Module, "Velkor.dll"},
      {L"Velnoria.exe.tmp", StagedEntry::Module, "Velnoria.exe"},  // the launcher row's installed name
      {L"Updater.exe.tmp", StagedEntry::Module, "Updater.exe"},
      {L"UpdaterService.exe.tmp", StagedEntry::Module, "UpdaterService.exe"},
      {L"ModelMD5.dll", StagedEntry::Manifest, ""},
      {L"ModelMD5.sig", StagedEntry::Signature, ""},
      {L"Reverted.ini", StagedEntry::Revert, ""},
      {L"Saffen.exe.tmp", std::nullopt, ""},  // the server's name, not the installed one
      {L"velkor.dll.tmp", std::nullopt, ""},
      {L"Velkor.dll", std::nullopt, ""},
      {L"Velkor.dll.tmp.fkv", std::nullopt, ""},
      {L"evil.dll.tmp", std::nullopt, ""},
      {L"..\\Velkor.dll.tmp", std::nullopt, ""},
      {L"Probation.ini", std::nullopt, ""},
  };
  for (const Case& c : cases) {
    const std::optional<StagedEntry> entry = StagedEntryOf(c.name);
    ASSERT_EQ(entry.has_value(), c.kind.has_value()) << std::string(c.name, c.name + wcslen(c.name));
    if (!entry) continue;
    EXPECT_EQ(entry->kind, *c.kind);
    EXPECT_EQ(entry->module, c.module);
  }
}
