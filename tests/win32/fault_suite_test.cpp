// Nothing lost, whatever fails: after every case, every module of the install
// folder is exactly of the old or of the new release (never missing, never
// partial), and the updater has ended or shows a defined state in time.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "engine/install/Probation.h"
#include "engine/release/Manifest.h"
#include "engine/release/ModuleDigest.h"
#include "engine/release/Rollout.h"

using namespace testing_support;

namespace {

std::string g_updater, g_serverState, g_releaseDir;
std::string g_smallDisk;  // a small file system's folder; empty or absent when there is none
int g_cases = 0, g_breaks = 0;

bool IsRelease(const std::string& install, const char* release) {
  for (const char* m : kCatalogueFiles)
    if (!FileExists(install + m) || ReadFileBytes(install + m) != ReadFileBytes(g_releaseDir + release + "\\" + m))
      return false;
  return true;
}

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
  // Right after a stop, every module has a file, old or new.
  bool EveryModuleOldOrNewAfterTheStop() {
    bool all = true;
    for (const char* m : kCatalogueFiles)
      if (!IsOldOrNew(m, install_ + m)) {
        all = false;
        ADD_FAILURE() << m << " is missing or neither old nor new right after the stop";
      }
    return all;
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
  // A whole interactive update: 升级, success, 完成, and the updater's end.
  void UpdateToTheEnd(const std::string& productArgs = "") {
    StartProduct(1, productArgs);
    HWND w = Window();
    ASSERT_NE(w, nullptr);
    Click(w, 1000);
    ASSERT_TRUE(WaitForSuccess(w, 60000));
    Click(w, 1002);
    EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
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
  // What it verified became the pre-load: the next run fetches no module.
  EXPECT_TRUE(FileExists(install_ + "UpgradeBackup\\mvt_s.backup"));
  server_->ClearLog();
  UpdateToTheEnd();
  for (const char* m : kServerNames)
    EXPECT_EQ(server_->Requests(std::string("/release/") + m).size() +
                  server_->Requests(std::string("/release/") + m + ".z").size(), 0u) << m;
  EXPECT_TRUE(IsRelease(install_, "new"));
  CheckInvariant("the run after a product that ignored the exit request");
}

TEST_F(FaultSuite, AnOnAccessScannerHoldingEveryNewFile) {
  // A scanner of its own (this program) holds every new or changed file of
  // the install folder for 700 ms, with read sharing only.
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  for (const int mode : {1, 3}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    // The folder without its last backslash, which would quote the quotation mark.
    Process scanner = StartProcess(self, "--scan \"" + install_.substr(0, install_.size() - 1) + "\" 700");
    ASSERT_TRUE(scanner.handle);
    if (mode == 1) {
      UpdateToTheEnd();
    } else {
      StartProduct(3);
      EXPECT_EQ(WaitForExit(updater_, 120000), 0u);
    }
    EXPECT_EQ(WaitForExit(scanner, 0), STILL_ACTIVE) << "the scanner did not run";
    ::TerminateProcess(scanner.handle.get(), 0);
    WaitForExit(scanner, 5000);
    StopAll();
    const std::string log = ReadFileBytes(install_ + "Updater.log");
    EXPECT_EQ(log.find("not installed"), std::string::npos) << log;
    EXPECT_EQ(log.find("put back"), std::string::npos) << log;
    if (mode == 1) {
      EXPECT_TRUE(IsRelease(install_, "new"));
    } else {
      EXPECT_TRUE(FileExists(install_ + "UpgradeBackup\\mvt_s.backup"));
    }
    CheckInvariant(mode == 1 ? "an on-access scanner, mode 1" : "an on-access scanner, mode 3");
    TearDown();
    SetUp();
  }
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

TEST_F(FaultSuite, KillSweepOverEveryStepOfTheInstallation) {
  // A whole installation first, to count its steps.
  UpdateToTheEnd();
  StopAll();
  const std::string log = ReadFileBytes(install_ + "Updater.log");
  const size_t at = log.rfind("install: ");
  ASSERT_NE(at, std::string::npos);
  const int steps = atoi(log.c_str() + at + 9);
  ASSERT_GT(steps, 17 * 2);
  CheckInvariant("the installation that counts the steps");
  printf("an installation of 17 modules takes %d steps\n", steps);
  int forward = 0, back = 0;
  // Stopped dead after each step in turn, then the product's next start.
  for (int n = 1; n <= steps; ++n) {
    TearDown();
    SetUp();
    SCOPED_TRACE("stopped after step " + std::to_string(n));
    ::SetEnvironmentVariableA("VELNORIA_UPDATER_TEST_STOP_AT_INSTALL_STEP", std::to_string(n).c_str());
    StartProduct(1);
    ::SetEnvironmentVariableA("VELNORIA_UPDATER_TEST_STOP_AT_INSTALL_STEP", nullptr);
    HWND w = Window();
    ASSERT_NE(w, nullptr);
    Click(w, 1000);
    ASSERT_TRUE(WaitForSuccess(w, 60000));
    Click(w, 1002);
    EXPECT_EQ(WaitForExit(updater_, 60000), 0x5709u) << "the updater did not stop at the step";
    StopAll();
    // Right after the stop, every module has a file, old or new.
    ++g_cases;
    bool broken = !EveryModuleOldOrNewAfterTheStop();
    // The product's next start: with a journal it starts the updater in
    // mode 3 itself; without one, a mode 3 run follows all the same.
    const bool journal = FileExists(install_ + "Install.journal");
    if (journal) {
      StartProductPlain();
      updater_ = UpdaterStartedBy(install_, 10000);
      ASSERT_TRUE(updater_.handle);
      EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(install_ + "product.log").find("journal-done") != std::string::npos; },
                            60000));
    } else {
      StartProduct(3);
    }
    EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
    StopAll();
    // One whole release, no journal; a marker only beside a complete pre-load of the newer one.
    const bool isNew = IsRelease(install_, "new"), isOld = IsRelease(install_, "old");
    (isNew ? forward : back) += 1;
    if (!(isNew || isOld) || FileExists(install_ + "Install.journal")) {
      broken = true;
      ADD_FAILURE() << "not one whole release after the next start" << (journal ? " (it found a journal)" : "");
    }
    const bool marker = FileExists(install_ + "UpgradeBackup\\mvt_s.backup");
    if (marker != isOld || (marker && !IsRelease(install_ + "UpgradeBackup\\", "new"))) {
      broken = true;
      ADD_FAILURE() << "the marker does not stand exactly beside a complete pre-load of the newer release";
    }
    if (broken) ++g_breaks;
  }
  printf("kill sweep: %d steps, %d finished forward, %d undone\n", steps, forward, back);
}

TEST_F(FaultSuite, KillSweepOverEveryStepOfARevert) {
  // The folder as a failed probation leaves it: the new release in place,
  // the old one kept, the record saying the product failed on the new one.
  const std::string content = ReleaseContentId(Manifest::Parse(ReadFileBytes(WindowsPath(g_serverState) + "\\www\\release\\ModelMD5.dll")));
  auto prepare = [&] {
    TearDown();
    SetUp();
    InstallRelease(g_releaseDir, "new", install_, g_updater);
    ::CreateDirectoryA((install_ + "UpgradeBackup_R").c_str(), nullptr);
    ProbationRecord record;
    record.failed = true;
    record.content = content;
    record.exitCode = 0xC0000005u;
    for (const char* m : kCatalogueFiles) {
      const std::string old = g_releaseDir + "old\\" + m;
      ::CopyFileA(old.c_str(), (install_ + "UpgradeBackup_R\\" + m).c_str(), FALSE);
      record.previous.emplace_back(m, ModuleDigest(W(old), kModuleDigestKey));
    }
    WriteFileBytes(install_ + "Probation.ini", record.Text());
  };
  // The updater started as the product starts it at its next start (mode 3).
  auto run = [&](int stopAt) {
    const fw::ScopedHandle block = CreateNamedMapping("@_KELMO_UPDATE_@", HandoffBytes(3, nullptr, server_->Url("release/")), 8 + 260);
    if (stopAt) ::SetEnvironmentVariableA("VELNORIA_UPDATER_TEST_STOP_AT_INSTALL_STEP", std::to_string(stopAt).c_str());
    updater_ = StartProcess(install_ + "Updater.exe");
    ::SetEnvironmentVariableA("VELNORIA_UPDATER_TEST_STOP_AT_INSTALL_STEP", nullptr);
    return WaitForExit(updater_, 60000);
  };
  prepare();
  ASSERT_EQ(run(0), 0u);
  const std::string log = ReadFileBytes(install_ + "Updater.log");
  const size_t at = log.find("revert: the previous release is back in place (");
  ASSERT_NE(at, std::string::npos) << log;
  const int steps = atoi(log.c_str() + log.find('(', at) + 1);
  ASSERT_GT(steps, 17 * 3) << log << ReadFileBytes(install_ + "Reverted.ini");
  EXPECT_TRUE(IsRelease(install_, "old"));
  printf("a revert of 17 modules takes %d steps\n", steps);
  for (int n = 1; n <= steps; ++n) {
    SCOPED_TRACE("stopped after step " + std::to_string(n) + " of the revert");
    prepare();
    EXPECT_EQ(run(n), 0x5709u) << "the updater did not stop at the step";
    ++g_cases;
    bool broken = !EveryModuleOldOrNewAfterTheStop();
    // The next start takes the revert up again: the old release, whole, and nothing of the probation left.
    EXPECT_EQ(run(0), 0u);
    if (!IsRelease(install_, "old") || FileExists(install_ + "Install.journal") || FileExists(install_ + "Probation.ini") ||
        FileExists(install_ + "UpgradeBackup_R") || RevertedRelease::Parse(ReadFileBytes(install_ + "Reverted.ini")).content != content ||
        FileExists(install_ + "UpgradeBackup\\mvt_s.backup")) {
      broken = true;
      ADD_FAILURE() << "not the old release alone, remembered, after the next start:\n" << ReadFileBytes(install_ + "Updater.log");
    }
    if (broken) ++g_breaks;
  }
}

TEST_F(FaultSuite, AProductThatRemakesItsWindowAndTakesThreeSecondsToExit) {
  // The block names a window that is gone by the finish: the updater still
  // waits for the product's process, installs once it has ended, and starts
  // exactly one product.
  server_->SetFaults("{}");
  UpdateToTheEnd("--remake-window --exit-delay 3000");
  // The relaunched product starts only after the first one has ended.
  const std::string log = ReadFileBytes(install_ + "product.log");
  const size_t exited = log.find("exit pid="), second = log.find("start", log.find("start") + 1);
  EXPECT_NE(log.find("window-remade"), std::string::npos);
  EXPECT_NE(exited, std::string::npos);
  EXPECT_NE(second, std::string::npos);
  EXPECT_LT(exited, second) << log;
  EXPECT_EQ(log.find("start", second + 1), std::string::npos) << "a second product was started: " << log;
  StopAll();
  for (const char* m : kCatalogueFiles) EXPECT_FALSE(FileExists(install_ + m + ".del")) << m;
  CheckInvariant("a remade window and a slow exit");
  EXPECT_TRUE(IsRelease(install_, "new"));
}

TEST_F(FaultSuite, ASecondUpdaterInTheSameFolderEndsAtOnce) {
  // The second through another spelling of the folder too: its 8.3 name, and another case.
  enum Spelling { Same, Short, Upper };
  const std::tuple<int, int, Spelling> pairs[] = {{3, 3, Same}, {1, 3, Same}, {3, 1, Same}, {3, 3, Short}, {3, 1, Upper}};
  for (const auto& [first, second, spelling] : pairs) {
    SCOPED_TRACE(std::to_string(first) + " then " + std::to_string(second) + ", spelling " + std::to_string(spelling));
    std::string folder = install_;
    if (spelling == Short) {
      char shortName[MAX_PATH] = {};
      ASSERT_GT(::GetShortPathNameA(install_.c_str(), shortName, MAX_PATH), 0u);
      folder = shortName;
      ASSERT_NE(folder, install_);
    } else if (spelling == Upper) {
      ::CharUpperBuffA(&folder[0], static_cast<DWORD>(folder.size()));
    }
    // The first one is kept busy by a slow module.
    server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 15000}}");
    StartProduct(first);
    HWND w = first == 1 ? Window() : nullptr;
    if (first == 1) Click(w, 1000);
    ::Sleep(500);
    Process product2 = StartProcess(folder + "Velnoria.exe", "--update " + std::to_string(second) + " --server " +
                                                                 server_->Url(folder_));
    Process second_updater = UpdaterStartedBy(install_, 10000, 2);
    ASSERT_TRUE(second_updater.handle);
    EXPECT_NE(WaitForExit(second_updater, 10000), STILL_ACTIVE);
    EXPECT_EQ(WaitForExit(updater_, 0), STILL_ACTIVE) << "the first one goes on";
    // The second product goes too (no installation while any product runs).
    ::TerminateProcess(product2.handle.get(), 0);
    if (first == 1) {
      ASSERT_TRUE(WaitForSuccess(w, 60000));
      Click(w, 1002);
    }
    EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
    StopAll();
    EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("another updater runs in this folder"), std::string::npos);
    CheckInvariant("a second updater");
    EXPECT_TRUE(IsRelease(install_, first == 1 ? "new" : "old"));
    TearDown();
    SetUp();
  }
}

TEST_F(FaultSuite, AnInstallFolderNearTheLongestPathTheSystemAllows) {
  // A run's longest path is the install folder and 37 characters (an old
  // version kept in UpgradeBackup_P\previous\): a folder of 222 characters
  // updates, one of 223 fails at once, before anything is downloaded.
  for (const size_t length : {222u, 223u}) {
    SCOPED_TRACE(length);
    const std::string base = install_;
    std::string folder = base + std::string(length - base.size() - 1, 'p') + "\\";
    ASSERT_EQ(folder.size(), length);
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    InstallRelease(g_releaseDir, "old", folder, g_updater);
    install_ = folder;
    server_->ClearLog();
    StartProduct(1);
    HWND w = Window();
    ASSERT_NE(w, nullptr);
    Click(w, 1000);
    EXPECT_TRUE(DefinedState(w, 60000));
    if (length == 222) {
      ASSERT_TRUE(WaitForSuccess(w, 1000));
      Click(w, 1002);
      EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
      StopAll();
      EXPECT_TRUE(IsRelease(install_, "new"));
    } else {
      EXPECT_EQ(Text(::GetDlgItem(w, 1011)), "更新失败！");
      EXPECT_TRUE(server_->Requests("/release/Velkor.dll").empty()) << "downloaded before it failed";
      EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("path is too long"), std::string::npos);
      StopAll();
      EXPECT_TRUE(IsRelease(install_, "old"));
    }
    CheckInvariant("an install folder near the longest path");
    install_ = base;
  }
}

TEST_F(FaultSuite, AStalePreloadNeverStandsBesideANewerInstallation) {
  // A pre-load of release 2, then the user updates interactively to release 3.
  StartProduct(3);
  EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
  StopAll();
  ASSERT_TRUE(FileExists(install_ + "UpgradeBackup\\mvt_s.backup"));
  char promised[80] = {};
  ::GetPrivateProfileStringA("SUpgrade", "Manifest", "", promised, sizeof promised,
                             (install_ + "UpgradeBackup\\mvt_s.backup").c_str());
  EXPECT_EQ(strlen(promised), 64u) << "the marker names the manifest it promises";
  folder_ = "newer/";
  UpdateToTheEnd();
  StopAll();
  ++g_cases;
  const bool whole = IsRelease(install_, "newer"), stale = FileExists(install_ + "UpgradeBackup");
  EXPECT_TRUE(whole);
  EXPECT_FALSE(stale) << "the older pre-load stayed beside the newer release";
  if (!whole || stale) ++g_breaks;
  folder_ = "release/";

  // A pre-load keeps only what its release needs: a copy of a module that
  // no longer differs goes, and the marker stands beside the rest.
  TearDown();
  SetUp();
  ::CopyFileA((g_releaseDir + "new\\Velkor.dll").c_str(), (install_ + "Velkor.dll").c_str(), FALSE);
  ::CreateDirectoryA((install_ + "UpgradeBackup").c_str(), nullptr);
  ::CopyFileA((g_releaseDir + "new\\Velkor.dll").c_str(), (install_ + "UpgradeBackup\\Velkor.dll").c_str(), FALSE);
  StartProduct(3);
  EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
  StopAll();
  EXPECT_FALSE(FileExists(install_ + "UpgradeBackup\\Velkor.dll"));
  EXPECT_TRUE(FileExists(install_ + "UpgradeBackup\\mvt_s.backup"));
  EXPECT_TRUE(FileExists(install_ + "UpgradeBackup\\Drimsa.dll"));
}

TEST_F(FaultSuite, AFullDiskFailsAtOnceAndFreesWhatItWrote) {
  if (g_smallDisk.empty() || !FileExists(g_smallDisk)) GTEST_SKIP() << "no small file system here (not root?)";
  const std::string base = install_;
  for (const int mode : {1, 3}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    install_ = g_smallDisk + "install" + std::to_string(mode) + "\\";
    ASSERT_TRUE(::CreateDirectoryA(install_.c_str(), nullptr));
    InstallRelease(g_releaseDir, "old", install_, g_updater);
    // Filled until only about half of the new release fits.
    uint64_t release = 0;
    for (const char* m : kCatalogueFiles) release += ReadFileBytes(g_releaseDir + "new\\" + m).size();
    auto freeBytes = [&] {
      ULARGE_INTEGER available{};
      ::GetDiskFreeSpaceExA(install_.c_str(), &available, nullptr, nullptr);
      return available.QuadPart;
    };
    {
      fw::ScopedFile filler(::CreateFileA((g_smallDisk + "filler" + std::to_string(mode)).c_str(), GENERIC_WRITE, 0,
                                          nullptr, CREATE_ALWAYS, 0, nullptr));
      const std::string chunk(64 * 1024, 'f');
      while (freeBytes() > release / 2 + chunk.size()) {
        DWORD written = 0;
        if (!::WriteFile(filler.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) break;
      }
    }
    const uint64_t before = freeBytes();
    server_->ClearLog();
    StartProduct(mode);
    if (mode == 1) {
      HWND w = Window();
      ASSERT_NE(w, nullptr);
      Click(w, 1000);
      EXPECT_TRUE(DefinedState(w, 60000));
      EXPECT_EQ(Text(::GetDlgItem(w, 1011)), "更新失败！");
      // Closed as its user would: the updater ends on its own.
      ::PostMessageA(w, WM_CLOSE, 0, 0);
      EXPECT_NE(WaitForExit(updater_, 20000), STILL_ACTIVE);
    } else {
      EXPECT_NE(WaitForExit(updater_, 60000), STILL_ACTIVE);
    }
    StopAll();
    const std::string log = ReadFileBytes(install_ + "Updater.log");
    EXPECT_NE(log.find("disk is full"), std::string::npos);
    EXPECT_EQ(log.find("run 2"), std::string::npos) << "retried while the disk was full";
    EXPECT_FALSE(FileExists(install_ + "UpgradeBackup\\mvt_s.backup"));
    for (const char* m : kCatalogueFiles) EXPECT_FALSE(FileExists(install_ + "UpgradeBackup\\" + m)) << m;
    EXPECT_FALSE(FileExists(install_ + "UpgradeBackup_P"));
    // Room is checked before bytes: no module is fetched, and the disk has
    // what it had (the download library's copy gone too), but for the
    // support log's few lines.
    for (const char* m : kServerNames) EXPECT_EQ(server_->Requests(std::string("/release/") + m).size(), 0u) << m;
    EXPECT_FALSE(FileExists(install_ + "Fetchkit.loaded.dll"));
    EXPECT_GE(freeBytes() + 64 * 1024, before);
    CheckInvariant("a full disk");
    EXPECT_TRUE(IsRelease(install_, "old"));
    RemoveTree(install_);
    ::DeleteFileA((g_smallDisk + "filler" + std::to_string(mode)).c_str());
  }
  install_ = base;
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

namespace {

// An on-access scanner's stand-in: every new or changed file under `folder`
// (but the logs the tests read) is opened for reading, with read sharing
// only, for `holdMs`, as scanners, indexers and sync clients do. Runs until killed.
int Scan(const std::string& folder, DWORD holdMs) {
  std::map<std::string, std::pair<uint64_t, uint64_t>> seen;  // path -> (write time, size)
  std::vector<std::pair<fw::ScopedFile, DWORD>> held;
  std::function<void(const std::string&)> walk = [&](const std::string& dir) {
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((dir + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
      const std::string name = found.cFileName, path = dir + name;
      if (name == "." || name == "..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        walk(path + "\\");
        continue;
      }
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) continue;
      const std::pair<uint64_t, uint64_t> now{
          (uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime,
          (uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow};
      if (seen[path] == now) continue;
      fw::ScopedFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      if (!file) continue;  // being written: looked at again
      seen[path] = now;
      held.emplace_back(std::move(file), ::GetTickCount());
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
  };
  for (;;) {
    walk(folder);
    held.erase(std::remove_if(held.begin(), held.end(), [&](const auto& h) { return ::GetTickCount() - h.second >= holdMs; }),
               held.end());
    ::Sleep(20);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "--scan") == 0) return Scan(std::string(argv[2]) + "\\", static_cast<DWORD>(atoi(argv[3])));
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 4) {
    fprintf(stderr, "usage: fault_suite_tests UPDATER SERVER_STATE RELEASE_DIR\n");
    return 2;
  }
  g_updater = WindowsPath(argv[1]);
  g_serverState = argv[2];
  g_releaseDir = WindowsPath(argv[3]) + "\\";
  if (argc >= 5) g_smallDisk = WindowsPath(argv[4]) + "\\";
  const int result = RUN_ALL_TESTS();
  printf("fault suite: %d cases, %d invariant breaks\n", g_cases, g_breaks);
  return result;
}
