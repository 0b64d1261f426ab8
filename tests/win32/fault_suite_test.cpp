// Nothing lost, whatever fails: after every case, every module of the install
// folder is exactly of the old or of the new release (never missing, never
// partial), and the updater has ended or shows a defined state in time.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>

#include "TestSupport.h"

using namespace testing_support;

namespace {

std::string g_updater, g_serverState, g_releaseDir;
int g_cases = 0, g_breaks = 0;

class FaultSuite : public ProductCase {
 protected:
  FaultSuite() : ProductCase(g_serverState, g_releaseDir, g_updater) {}
  HWND Window() { return WaitForVisibleWindow(updater_, 20000); }
  // The updater ended, or its window shows success (完成) or failure (升级 enabled, 更新失败！).
  bool DefinedState(HWND w, DWORD timeoutMs) {
    return WaitUntil([&] {
      if (WaitForExit(updater_, 0) != STILL_ACTIVE) return true;
      if (!w) return false;
      if (::IsWindowVisible(::GetDlgItem(w, 1002))) return true;
      char text[64] = {};
      ::SendMessageA(::GetDlgItem(w, 1011), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
      return strcmp(text, "更新失败！") == 0 && ::IsWindowEnabled(::GetDlgItem(w, 1000));
    }, timeoutMs);
  }
  static bool IsOldOrNew(const char* module, const std::string& path) {
    const std::string now = ReadFileBytes(path);
    return FileExists(path) && (now == ReadFileBytes(g_releaseDir + "old\\" + module) ||
                                now == ReadFileBytes(g_releaseDir + "new\\" + module));
  }
  // The invariant, counted for the report.
  void CheckInvariant(const char* label) {
    ++g_cases;
    bool broken = false;
    for (const char* m : kCatalogueFiles) {
      if (!IsOldOrNew(m, install_ + m)) {
        broken = true;
        ADD_FAILURE() << label << ": " << m << " is neither the old nor the new module";
      }
    }
    if (broken) ++g_breaks;
  }
  // An interactive update with `faults`: upgrade, wait for a defined state,
  // finish when it succeeded.
  void InteractiveCase(const std::string& faults, const char* label, const std::string& productArgs = "") {
    server_->SetFaults(faults);
    StartProduct(1, productArgs);
    HWND w = Window();
    ASSERT_NE(w, nullptr) << label;
    Click(w, 1000);
    EXPECT_TRUE(DefinedState(w, 90000)) << label;
    if (::IsWindowVisible(::GetDlgItem(w, 1002))) {
      Click(w, 1002);
      EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE) << label;
    }
    StopAll();
    CheckInvariant(label);
  }
};

struct ServerFault {
  const char* name;
  const char* fault;
};
const ServerFault kServerFaults[] = {
    {"status 404", "{\"status\": 404}"},       {"status 500", "{\"status\": 500}"},
    {"cut", "{\"cut_after\": 20000}"},          {"drop", "{\"drop_after\": 20000}"},
    {"stall", "{\"stall_after\": 1000, \"stall_seconds\": 20}"},
    {"slow", "{\"rate\": 40000}"},              {"no length", "{\"no_length\": true}"},
    {"range ignored", "{\"ignore_range\": true}"}, {"garbage", "{\"body\": \"garbage\"}"},
    {"cut once", "{\"cut_after\": 20000, \"times\": 1}"},
};

}  // namespace

TEST_F(FaultSuite, EachServerFaultOnOneModuleAndOnTheManifest) {
  for (const char* path : {"/release/Tamrik.dll", "/release/ModelMD5.dll"})
    for (const ServerFault& f : kServerFaults) {
      SCOPED_TRACE(std::string(path) + ": " + f.name);
      InteractiveCase(std::string("{\"") + path + "\": " + f.fault + "}", f.name);
      TearDown();
      SetUp();
    }
}

TEST_F(FaultSuite, ADeadServerAndAGarbageManifest) {
  InteractiveCase("{\"/release/ModelMD5.dll\": {\"delay\": 30}}", "server that never answers");
  TearDown();
  SetUp();
  InteractiveCase("{\"/release/ModelMD5.dll\": {\"body\": \"\\u0000\\u00ff not an ini [ModuleVersion\"}}",
                  "garbage manifest");
}

TEST_F(FaultSuite, LockedModulesAndAnUnwillingProduct) {
  // The product holds a module open until it is asked to exit.
  InteractiveCase("{}", "module held open without sharing", "--hold Tamrik.dll");
  TearDown();
  SetUp();
  InteractiveCase("{}", "product ignoring the exit request", "--ignore-exit");
}

TEST_F(FaultSuite, UpdaterExitEventDuringDownloadAndDuringTheFinish) {
  server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 5000}}");
  StartProduct(1);
  HWND w = Window();
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  ::Sleep(1500);
  HANDLE e = ::CreateEventA(nullptr, TRUE, FALSE, "*_UPDATER_EXIT_*");
  ::SetEvent(e);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  ::ResetEvent(e);
  StopAll();
  CheckInvariant("updater-exit during download");
  TearDown();
  SetUp();

  // During the finish flow: the product takes two seconds to exit.
  StartProduct(1, "--exit-delay 2000");
  w = Window();
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  ASSERT_TRUE(WaitForSuccess(w, 60000));
  Click(w, 1002);
  ::Sleep(500);
  ::SetEvent(e);
  EXPECT_NE(WaitForExit(updater_, 20000), STILL_ACTIVE);
  ::ResetEvent(e);
  ::CloseHandle(e);
  StopAll();
  CheckInvariant("updater-exit during the finish");
}

TEST_F(FaultSuite, KilledDuringDownloadThenANewRunCompletes) {
  server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 5000}}");
  StartProduct(1);
  HWND w = Window();
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  ::Sleep(1500);
  ::TerminateProcess(updater_.handle.get(), 9);
  WaitForExit(updater_, 5000);
  StopAll();
  CheckInvariant("killed during download");
  server_->SetFaults("{}");
  ::DeleteFileA((install_ + "product.log").c_str());
  StartProduct(1);
  w = Window();
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  ASSERT_TRUE(WaitForSuccess(w, 60000));
  Click(w, 1002);
  EXPECT_NE(WaitForExit(updater_, 30000), STILL_ACTIVE);
  StopAll();
  CheckInvariant("a new run after the kill");
  for (const char* m : kCatalogueFiles)
    EXPECT_TRUE(ReadFileBytes(install_ + m) == ReadFileBytes(g_releaseDir + "new\\" + m)) << m;
}

TEST_F(FaultSuite, KilledDuringInstallationIsRepairedByTheNextRun) {
  // The kill lands at some moment after the product has exited: before,
  // during or after the swap. Right after it a module may exist only under
  // its ".del" name; the next run puts it back before it compares, and
  // completes the update.
  for (DWORD delay : {0u, 1u, 2u, 4u, 8u, 30u}) {
    SCOPED_TRACE(delay);
    StartProduct(1);
    HWND w = Window();
    ASSERT_NE(w, nullptr);
    Click(w, 1000);
    ASSERT_TRUE(WaitForSuccess(w, 60000));
    Click(w, 1002);
    EXPECT_NE(WaitForExit(product_, 10000), STILL_ACTIVE);
    ::Sleep(delay);
    ::TerminateProcess(updater_.handle.get(), 9);
    WaitForExit(updater_, 5000);
    StopAll();
    // Right after the kill, no module is partly written: each is its old or
    // its new file, under its own name or, moved aside, under its ".del" name.
    int asideOnly = 0, fresh = 0;
    for (const char* m : kCatalogueFiles) {
      const bool aside = !FileExists(install_ + m) && FileExists(install_ + m + ".del");
      if (aside) ++asideOnly;
      EXPECT_TRUE(IsOldOrNew(m, install_ + m + (aside ? ".del" : ""))) << m;
      if (ReadFileBytes(install_ + m) == ReadFileBytes(g_releaseDir + "new\\" + m)) ++fresh;
    }
    printf("killed %lu ms after the product exited: %d module(s) new, %d only under their .del name\n", delay, fresh,
           asideOnly);
    ::DeleteFileA((install_ + "product.log").c_str());
    StartProduct(3);
    EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
    StopAll();
    CheckInvariant("killed during installation, after the next run");
    TearDown();
    SetUp();
  }
}

TEST_F(FaultSuite, HandoffBlocksOfEverySize) {
  // Mode 3 against a port where nothing listens: a block that is taken makes
  // four failing runs and ends; a refused one ends at once. Either way within
  // seconds, showing nothing, and the install folder stays as it was.
  const std::string base = "http://127.0.0.1:9/";
  for (DWORD size = 0; size <= 300; ++size) {
    // Mode 3 (as far as the block reaches), no window, then the base: the
    // server's address, terminated inside the block for even sizes and
    // running to the block's end for odd ones.
    std::vector<unsigned char> bytes(size, 0);
    if (size >= 1) bytes[0] = 3;
    for (DWORD i = 8; i < size; ++i) bytes[i] = 'b';
    if (size > 8 + base.size()) {
      memcpy(bytes.data() + 8, base.data(), base.size());
      if (size % 2 == 0) bytes[8 + base.size()] = 0;
    }
    fw::ScopedHandle block;
    if (size > 0) block = CreateNamedMapping("@_KELMO_UPDATE_@", bytes, size);
    Process updater = StartProcess(install_ + "Updater.exe");
    ASSERT_TRUE(updater.handle);
    const DWORD code = WaitForExit(updater, 20000);
    EXPECT_NE(code, STILL_ACTIVE) << "size " << size;
    if (code == STILL_ACTIVE) ::TerminateProcess(updater.handle.get(), 1);
    EXPECT_TRUE(WindowsOfProcess(updater.id, true).empty()) << "size " << size;
  }
  // Odd modes: shown with no button hidden, 关闭 does nothing before success.
  for (int32_t mode : {0, -1, 7, 1000}) {
    fw::ScopedHandle block = CreateNamedMapping("@_KELMO_UPDATE_@", HandoffBytes(mode, nullptr, base), 4096);
    Process updater = StartProcess(install_ + "Updater.exe");
    HWND w = WaitForVisibleWindow(updater, 20000);
    ASSERT_NE(w, nullptr) << mode;
    for (int id : {1000, 1001, 1002, 1003, 1004}) EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(w, id))) << mode << "/" << id;
    Click(w, 1004);
    ::Sleep(300);
    EXPECT_EQ(WaitForExit(updater, 0), STILL_ACTIVE) << mode;
    ::PostMessageA(w, WM_CLOSE, 0, 0);
    EXPECT_NE(WaitForExit(updater, 10000), STILL_ACTIVE);
  }
  CheckInvariant("hand-off blocks");
  for (const char* m : kCatalogueFiles)
    EXPECT_TRUE(ReadFileBytes(install_ + m) == ReadFileBytes(g_releaseDir + "old\\" + m)) << m;
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 4) {
    fprintf(stderr, "usage: fault_suite_tests UPDATER SERVER_STATE RELEASE_DIR\n");
    return 2;
  }
  g_updater = WindowsPath(argv[1]);
  g_serverState = argv[2];
  g_releaseDir = WindowsPath(argv[3]) + "\\";
  const int result = RUN_ALL_TESTS();
  printf("fault suite: %d cases, %d invariant breaks\n", g_cases, g_breaks);
  return result;
}
