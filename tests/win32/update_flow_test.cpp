// Whole updates: the sample product starts the real Updater.exe against the
// test server serving a release published by the release tool.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <initializer_list>
#include <memory>

#include "TestSupport.h"
#include "engine/install/ServiceClient.h"
#include "engine/release/Manifest.h"
#include "engine/release/Rollout.h"

using namespace testing_support;

namespace {

std::string g_serverState;
std::string g_releaseDir;  // old\ and new\ as installed
std::string g_updater;
std::string g_readonlyState;  // holds rw and, where a read-only bind mount is possible, ro

size_t Count(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t pos = text.find(word); pos != std::string::npos; pos = text.find(word, pos + 1)) ++n;
  return n;
}

class UpdateFlow : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TestServer>(g_serverState);
    ASSERT_TRUE(server_->ok());
    server_->SetFaults("{}");
    server_->ClearLog();
    install_ = MakeTempFolder("install");
    Install("old");
  }
  void TearDown() override {
    server_->SetFaults("{}");
    StopProducts();
    for (auto& p : processes_)
      if (WaitForExit(p, 0) == STILL_ACTIVE) ::TerminateProcess(p.handle.get(), 1);
    RemoveTree(install_);
  }
  // The install folder with the modules of a release and the updater.
  void Install(const std::string& release) { InstallRelease(g_releaseDir, release, install_, g_updater); }
  void StartProduct(int mode, const std::string& extra = "") {
    processes_.push_back(StartProcess(install_ + "Velnoria.exe", "--update " + std::to_string(mode) + " --server " +
                                                                     server_->Url("release/") + " " + extra));
    ASSERT_TRUE(processes_.back().handle);
  }
  std::string Log() const { return ReadFileBytes(install_ + "product.log"); }
  // The updater the product started, once it has.
  Process Updater() { return UpdaterStartedBy(install_, 10000); }
  HWND Window(const Process& updater) { return WaitForVisibleWindow(updater, 20000); }
  // Mode 1 through to its end: 升级, success, 完成; the updater, once it has ended (or not in `ms`).
  Process UpdateToTheEnd(const std::string& extra, DWORD ms) {
    StartProduct(1, extra);
    Process updater = Updater();
    HWND window = Window(updater);
    EXPECT_NE(window, nullptr);
    Click(window, 1000);
    EXPECT_TRUE(WaitForSuccess(window, 60000));
    Click(window, 1002);
    EXPECT_NE(WaitForExit(updater, ms), STILL_ACTIVE);
    return updater;
  }
  std::string Text(HWND window, int id) { return testing_support::Text(::GetDlgItem(window, id)); }
  // Every module of the install folder (or `folder` below it) is the given release's.
  void ExpectRelease(const std::string& release, const std::string& folder = "", const std::string& suffix = "") {
    for (const char* m : kCatalogueFiles)
      EXPECT_TRUE(ReadFileBytes(install_ + folder + m + suffix) == ReadFileBytes(g_releaseDir + release + "\\" + m))
          << folder << m << " is not of release " << release;
  }
  void StopProducts() { AskProductsToExit(); }
  std::string Marker() const { return install_ + "UpgradeBackup\\mvt_s.backup"; }
  // The outcome reports the server has had under `folder` since the log was
  // cleared: exactly `count`, each with every field of `fields`.
  void ExpectReports(size_t count, std::initializer_list<const char*> fields, const std::string& folder = "release") {
    const std::vector<std::string> reports = server_->Requests("/" + folder + "/UpdaterReport");
    EXPECT_EQ(reports.size(), count) << ReadFileBytes(install_ + "Updater.log");
    for (const std::string& report : reports) {
      const std::string query = report.substr(report.find("\"query\": \"") + 10);
      for (const char* field : fields)
        EXPECT_NE(("&" + query.substr(0, query.find('"')) + "&").find(std::string("&") + field + "&"), std::string::npos)
            << field << " in " << report;
    }
  }

  std::unique_ptr<TestServer> server_;
  std::string install_;
  std::vector<Process> processes_;
};

}  // namespace

TEST_F(UpdateFlow, BackgroundPreloadsEveryModuleAndLeavesTheMarker) {
  server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 100000}}");  // a run long enough to watch
  StartProduct(3);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  // Watched while it runs: no window of the updater ever shows.
  bool sawWindow = false;
  int looks = 0;
  const DWORD start = ::GetTickCount();
  while (::WaitForSingleObject(updater.handle.get(), 5) == WAIT_TIMEOUT && ::GetTickCount() - start < 60000) {
    sawWindow = sawWindow || !WindowsOfProcess(updater.id, true).empty();
    ++looks;
  }
  EXPECT_GT(looks, 10);
  EXPECT_FALSE(sawWindow);
  EXPECT_EQ(WaitForExit(updater, 0), 0u);
  ExpectRelease("new", "UpgradeBackup\\");
  ExpectRelease("old");  // nothing is installed in the background mode
  char value[16] = {};
  ::GetPrivateProfileStringA("SUpgrade", "Key", "", value, sizeof value, Marker().c_str());
  EXPECT_STREQ(value, "1");
  EXPECT_FALSE(FileExists(install_ + "Version.tmp"));
  EXPECT_EQ(server_->Requests("/release/UpdateContent.dll").size(), 0u);
  ExpectReports(1, {"v=1", "mode=3", "outcome=preloaded", "stage=none", "code=0"});
}

// An install folder may be named in any script on any system: one the
// Chinese code pages spell, and one no code page but Unicode does (this case
// also runs under code page 1252). A pre-load, then an interactive update.
TEST_F(UpdateFlow, AnInstallFolderNamedInAnyScriptPreloadsAndUpdates) {
  for (const char* name : {u8"\u8F6F\u4EF6", u8"\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF"}) {
    SCOPED_TRACE(name);
    const std::string folder = install_ + name + "\\";
    ASSERT_TRUE(::CreateDirectoryW(W(folder).c_str(), nullptr));
    InstallRelease(g_releaseDir, "old", folder, g_updater);
    const std::string server = " --server " + server_->Url("release/");
    processes_.push_back(StartProcess(folder + "Velnoria.exe", "--update 3" + server));
    Process updater = UpdaterStartedBy(folder, 10000);
    ASSERT_TRUE(updater.handle) << ReadFileBytes(folder + "product.log");
    EXPECT_EQ(WaitForExit(updater, 60000), 0u) << ReadFileBytes(folder + "Updater.log");
    ExpectRelease("new", std::string(name) + "\\UpgradeBackup\\");
    EXPECT_TRUE(FileExists(folder + "UpgradeBackup\\mvt_s.backup"));
    StopProducts();

    ::DeleteFileW(W(folder + "product.log").c_str());
    processes_.push_back(StartProcess(folder + "Velnoria.exe", "--update 1" + server));
    updater = UpdaterStartedBy(folder, 10000);
    ASSERT_TRUE(updater.handle) << ReadFileBytes(folder + "product.log");
    HWND window = Window(updater);
    ASSERT_NE(window, nullptr);
    Click(window, 1000);
    ASSERT_TRUE(WaitForSuccess(window, 60000)) << ReadFileBytes(folder + "Updater.log");
    Click(window, 1002);
    EXPECT_NE(WaitForExit(updater, 20000), STILL_ACTIVE);
    ExpectRelease("new", std::string(name) + "\\");
    // The product was started again from its folder, and the support log is there to read.
    EXPECT_TRUE(WaitUntil([&] { return Count(ReadFileBytes(folder + "product.log"), "start") == 2; }, 10000));
    EXPECT_NE(ReadFileBytes(folder + "Updater.log").find("installation: the whole release is in place"),
              std::string::npos);
    StopProducts();
  }
}

TEST_F(UpdateFlow, BackgroundModuleThatAlwaysFailsEndsWithoutMarker) {
  server_->SetFaults("{\"/release/Tamrik.dll\": {\"status\": 500}}");
  StartProduct(3);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  EXPECT_NE(WaitForExit(updater, 60000), STILL_ACTIVE);
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 4u);  // the first run and three retries
  EXPECT_EQ(server_->Requests("/release/ModelMD5.dll").size(), 4u);
  EXPECT_FALSE(FileExists(Marker()));
  ExpectRelease("old");
  ExpectReports(1, {"mode=3", "outcome=failed", "stage=download", "code=1500"});
}

TEST_F(UpdateFlow, BackgroundWithoutManifestFailsAfterTheRetries) {
  server_->SetFaults("{\"/release/ModelMD5.dll\": {\"status\": 404}}");
  StartProduct(3);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  EXPECT_NE(WaitForExit(updater, 30000), STILL_ACTIVE);
  EXPECT_EQ(server_->Requests("/release/ModelMD5.dll").size(), 4u);
  EXPECT_FALSE(FileExists(Marker()));
  ExpectReports(1, {"mode=3", "outcome=failed", "stage=manifest", "code=1404"});
}

TEST_F(UpdateFlow, BackgroundWithNothingToUpdateEndsAtOnce) {
  Install("new");
  StartProduct(3);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  EXPECT_NE(WaitForExit(updater, 20000), STILL_ACTIVE);
  EXPECT_EQ(server_->Requests("/release/ModelMD5.dll").size(), 1u);
  EXPECT_FALSE(FileExists(install_ + "UpgradeBackup"));
  ExpectReports(1, {"mode=3", "outcome=current"});
}

TEST_F(UpdateFlow, CorruptTransferIsFetchedAgainAndNeverKept) {
  server_->SetFaults("{\"/release/Tamrik.dll\": {\"body\": \"not the module\", \"times\": 1}}");
  StartProduct(3);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  EXPECT_EQ(WaitForExit(updater, 60000), 0u);
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 2u) << ReadFileBytes(install_ + "Updater.log");
  ExpectRelease("new", "UpgradeBackup\\");
  EXPECT_TRUE(FileExists(Marker()));
}

TEST_F(UpdateFlow, AnInteractiveRetryFetchesOnlyWhatTheFailedRunLacked) {
  server_->SetFaults("{\"/release/Tamrik.dll\": {\"body\": \"not the module\", \"times\": 1}}");
  UpdateToTheEnd("", 30000);
  ExpectRelease("new");
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 2u) << ReadFileBytes(install_ + "Updater.log");
  // Staged and verified by the first run: kept for the retry, whichever way it came.
  for (const char* name : {"Velkor.dll", "Saffen.exe", "Zibrun.exe"})
    EXPECT_EQ(server_->Requests(std::string("/release/") + name).size() +
                  server_->Requests(std::string("/release/") + name + ".z").size(), 1u) << name;
}

TEST_F(UpdateFlow, UpdaterExitEventEndsItMidDownload) {
  server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 2000}}");
  StartProduct(3, "--updater-exit-after 2500");
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  // Mid-download, the download library runs from its copy in the user's own
  // folder for this install folder, never from one in the install folder.
  const std::string copy = fw::Utf8(UserWorkFolder(fw::FromUtf8(install_))) + "Fetchkit.loaded.dll";
  for (int waited = 0; waited < 2000 && !FileExists(copy); waited += 50) ::Sleep(50);
  EXPECT_TRUE(FileExists(copy));
  EXPECT_FALSE(FileExists(install_ + "Fetchkit.loaded.dll"));
  EXPECT_NE(WaitForExit(updater, 10000), STILL_ACTIVE);
  EXPECT_NE(Log().find("updater-exit-set"), std::string::npos);
  EXPECT_FALSE(FileExists(Marker()));
  ExpectRelease("old");
  ExpectReports(1, {"mode=3", "outcome=cancelled"});
}

TEST_F(UpdateFlow, FinishWaitsForTheProductInstallsAndRelaunchesIt) {
  StartProduct(1);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  HWND window = Window(updater);
  ASSERT_NE(window, nullptr);
  Click(window, 1000);
  ASSERT_TRUE(WaitForSuccess(window, 60000));
  // The success presentation shows 完成 first, then hides the rest: read after it is done.
  EXPECT_TRUE(WaitUntil([&] { return !::IsWindowVisible(::GetDlgItem(window, 1000)); }, 5000));
  EXPECT_TRUE(WaitUntil([&] { return Text(window, 1011) == "更新成功,点击“完成”将重新启动Marvento！"; }, 5000))
      << Text(window, 1011);
  const DWORD finishedAt = ::GetTickCount();
  Click(window, 1002);
  EXPECT_NE(WaitForExit(updater, 20000), STILL_ACTIVE);
  EXPECT_GE(::GetTickCount() - finishedAt, 900u);  // about a second after the relaunch
  ASSERT_TRUE(WaitUntil([&] { return Count(Log(), "start") == 2; }, 10000)) << Log();
  const std::string log = Log();
  EXPECT_LT(log.find("exit-request"), log.rfind("start"));  // the old product ended before the new one started
  ExpectRelease("new");
  EXPECT_FALSE(FileExists(install_ + "UpgradeBackup_P"));
  ExpectReports(1, {"mode=1", "outcome=installed", "stage=none"});
  // The support log tells the whole story, in order.
  const std::string record = ReadFileBytes(install_ + "Updater.log");
  size_t at = 0;
  for (const char* line : {"start: mode 1", "notes: ", "run 1: manifest checked, 17 module(s) to fetch",
                           "check Velkor.dll: ", "transfer Velkor.dll: result 0", "run 1: succeeded",
                           "install Velkor.dll: in place", "installation: the whole release is in place",
                           "relaunch of Velnoria.exe: started", "end: succeeded"}) {
    const size_t found = record.find(line, at);
    EXPECT_NE(found, std::string::npos) << "no line \"" << line << "\" after offset " << at << " in:\n" << record;
    if (found != std::string::npos && std::string(line).rfind("check", 0) != 0 &&
        std::string(line).rfind("transfer", 0) != 0)
      at = found;
  }
  // The updater's own Fetchkit.dll was in use: it was moved aside, and the
  // set-aside copy can go only once the updater has ended.
  const std::string aside = install_ + "Fetchkit.dll.del";
  if (FileExists(aside)) {
    EXPECT_TRUE(ReadFileBytes(aside) == ReadFileBytes(g_releaseDir + "old\\Fetchkit.dll"));
  }
}

TEST_F(UpdateFlow, ProductIgnoringTheExitRequestKeepsItsModules) {
  // The wait is bounded: the hidden updater ends without installing.
  UpdateToTheEnd("--ignore-exit", 45000);
  EXPECT_NE(Log().find("exit-request-ignored"), std::string::npos);
  EXPECT_EQ(Count(Log(), "start"), 1u);  // it still runs: nothing is started
  ExpectRelease("old");
  // Nothing verified is lost: the release stays as the pre-load, with its marker, and the log says why.
  ExpectRelease("new", "UpgradeBackup\\");
  char value[16] = {};
  ::GetPrivateProfileStringA("SUpgrade", "Key", "", value, sizeof value, Marker().c_str());
  EXPECT_STREQ(value, "1");
  const std::string record = ReadFileBytes(install_ + "Updater.log");
  EXPECT_NE(record.find("installation: not installed: the product did not exit within 30 s"), std::string::npos);
  EXPECT_NE(record.find("end: succeeded, not installed"), std::string::npos);
  ExpectReports(1, {"mode=1", "outcome=failed", "stage=install", "code=906"});
  EXPECT_FALSE(FileExists(install_ + "Fetchkit.loaded.dll"));  // the library's copy goes with the updater
  ::TerminateProcess(processes_.front().handle.get(), 0);
}

TEST_F(UpdateFlow, InteractiveManifestFailureShowsTheFailureAndAFinalRetry) {
  server_->SetFaults("{\"/release/ModelMD5.dll\": {\"status\": 503}}");
  StartProduct(1);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  HWND window = Window(updater);
  ASSERT_NE(window, nullptr);
  Click(window, 1000);
  ASSERT_TRUE(WaitUntil([&] { return Text(window, 1011) == "更新失败！"; }, 30000)) << Text(window, 1011);
  EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(window, 1000)));
  // The check of the offer at the start, then four runs.
  EXPECT_EQ(server_->Requests("/release/ModelMD5.dll").size(), 5u);
  // One more start is final at once.
  Click(window, 1000);
  ASSERT_TRUE(WaitUntil([&] { return server_->Requests("/release/ModelMD5.dll").size() == 6; }, 10000));
  ASSERT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(::GetDlgItem(window, 1000)) != FALSE; }, 10000));
  ::Sleep(500);
  EXPECT_EQ(server_->Requests("/release/ModelMD5.dll").size(), 6u);
  EXPECT_EQ(Text(window, 1011), "更新失败！");
  ::PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_NE(WaitForExit(updater, 10000), STILL_ACTIVE);
  ExpectRelease("old");
}

TEST_F(UpdateFlow, InteractiveWithNothingToUpdateShowsSuccess) {
  Install("new");
  StartProduct(2);
  Process updater = Updater();
  ASSERT_TRUE(updater.handle);
  HWND window = Window(updater);
  ASSERT_NE(window, nullptr);
  Click(window, 1000);
  ASSERT_TRUE(WaitForSuccess(window, 20000));
  Click(window, 1004);  // the close button finishes too, in the success state
  EXPECT_NE(WaitForExit(updater, 20000), STILL_ACTIVE);
  ASSERT_TRUE(WaitUntil([&] { return Count(Log(), "start") == 2; }, 10000));
  ExpectRelease("new");
  ExpectReports(1, {"mode=2", "outcome=current", "stage=none"});  // nothing to install is no failure to
}

TEST_F(UpdateFlow, ClosingDuringTheManifestCheckOrTheDownloadsNeverCrashes) {
  // Threads still run when the window and the engine are gone: they must
  // touch nothing of either. A crash shows as an exit code other than 0.
  struct Case {
    const char* name;
    const char* faults;
    DWORD closeAfterMs;
  } cases[] = {
      {"manifest check", "{\"/release/ModelMD5.dll\": {\"delay\": 1}}", 300},
      {"downloads", "{\"/release/Velkor.dll\": {\"rate\": 20000}, \"/release/Tobrin.dll\": {\"rate\": 20000}}", 700},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 4; ++round) {
      SCOPED_TRACE(std::string(c.name) + ", round " + std::to_string(round));
      server_->SetFaults(c.faults);
      StartProduct(1);
      Process updater = Updater();
      ASSERT_TRUE(updater.handle);
      HWND window = Window(updater);
      ASSERT_NE(window, nullptr);
      Click(window, 1000);
      ::Sleep(c.closeAfterMs + 50 * round);
      ::PostMessageA(window, WM_CLOSE, 0, 0);
      EXPECT_EQ(WaitForExit(updater, 10000), 0u);
      ExpectRelease("old");
      StopProducts();
      for (Process& p : processes_) WaitForExit(p, 5000);
      // The product logs each start: the next round waits for a fresh updater.
      ::DeleteFileA((install_ + "product.log").c_str());
    }
  }
}

TEST_F(UpdateFlow, AnInstallFolderThatCannotBeWrittenFailsAtOnce) {
  const std::string rw = WindowsPath(g_readonlyState) + "\\rw\\", ro = WindowsPath(g_readonlyState) + "\\ro\\";
  if (!FileExists(ro)) GTEST_SKIP() << "no read-only bind mount on this machine (needs root)";
  InstallRelease(g_releaseDir, "old", rw, g_updater);
  ASSERT_FALSE(WriteFileBytes(ro + "probe", "x")) << "the read-only view can be written";
  char temp[MAX_PATH] = {};
  ::GetTempPathA(MAX_PATH, temp);
  const std::string log = std::string(temp) + "Velnoria-Updater.log";
  for (const int mode : {1, 3}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    ::DeleteFileA(log.c_str());
    server_->ClearLog();
    fw::ScopedHandle block =
        CreateNamedMapping("@_KELMO_UPDATE_@", HandoffBytes(mode, nullptr, server_->Url("release/")), 4096);
    Process updater = StartProcess(ro + "Updater.exe");
    ASSERT_TRUE(updater.handle);
    if (mode == 1) {
      HWND w = WaitForVisibleWindow(updater, 20000);
      ASSERT_NE(w, nullptr);
      const DWORD clicked = ::GetTickCount();
      Click(w, 1000);
      // Failed at once, not after four runs of retries: 更新失败！ with 升级 enabled again.
      EXPECT_TRUE(WaitUntil([&] {
        return Text(w, 1011) == "更新失败！" && ::IsWindowEnabled(::GetDlgItem(w, 1000));
      }, 10000)) << Text(w, 1011);
      EXPECT_LT(::GetTickCount() - clicked, 10000u);
      ::PostMessageA(w, WM_CLOSE, 0, 0);
    }
    EXPECT_NE(WaitForExit(updater, 20000), STILL_ACTIVE);
    // Nothing was downloaded, not even the manifest by a run (mode 1 asks it
    // once at the start whether the release is offered); no marker.
    EXPECT_LE(server_->Requests("/release/ModelMD5.dll").size(), mode == 1 ? 1u : 0u);
    EXPECT_EQ(server_->Requests("/release/Velkor.dll").size(), 0u);
    EXPECT_FALSE(FileExists(ro + "UpgradeBackup\\mvt_s.backup"));
    // The support log, in the temporary folder since the install folder is closed to it, says why.
    EXPECT_NE(ReadFileBytes(log).find("cannot make the folder"), std::string::npos) << ReadFileBytes(log);
  }
  for (const char* m : kCatalogueFiles) EXPECT_TRUE(ReadFileBytes(ro + m) == ReadFileBytes(g_releaseDir + "old\\" + m));
  RemoveTree(rw);
}

namespace {

// The published release, copied to a folder of its own on the test server and
// staged there: the manifest rewritten with its [Rollout] stage, as
// `update-release rollout` writes an unsigned release's.
class Staged {
 public:
  explicit Staged(const std::string& name) : dir_(WindowsPath(g_serverState) + "\\www\\" + name + "\\") {
    const std::string from = WindowsPath(g_serverState) + "\\www\\release\\";
    ::CreateDirectoryA(dir_.c_str(), nullptr);
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((from + "*").c_str(), &found);
    do
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ::CopyFileA((from + found.cFileName).c_str(), (dir_ + found.cFileName).c_str(), FALSE);
    while (::FindNextFileA(search, &found));
    ::FindClose(search);
  }
  ~Staged() { RemoveTree(dir_); }
  void At(int percent) {
    Manifest m = Manifest::Parse(ReadFileBytes(dir_ + "ModelMD5.dll"));
    m.rolloutPercent = percent;
    WriteFileBytes(dir_ + "ModelMD5.dll", m.Text());
  }
  Manifest Current() const { return Manifest::Parse(ReadFileBytes(dir_ + "ModelMD5.dll")); }

 private:
  std::string dir_;
};

const char kPolicyKeyText[] = "[HKEY_CURRENT_USER\\Software\\Policies\\Velnoria\\Updater]\r\n";
const char kNoPolicy[] = "[-HKEY_CURRENT_USER\\Software\\Policies\\Velnoria]\r\n";

}  // namespace

TEST_F(UpdateFlow, AStagedRolloutReachesItsBucketsAndAHaltHoldsIt) {
  Staged staged("staged");
  std::vector<std::string> folders;
  for (int i = 0; i < 20; ++i) {
    folders.push_back(MakeTempFolder("ring" + std::to_string(i)));
    InstallRelease(g_releaseDir, "old", folders.back(), g_updater);
  }
  // One background run of the product in `folder`; true when it left a pre-load's marker.
  // The product logs the updaters it starts: each run reads a fresh log.
  auto start = [&](const std::string& folder, int mode) {
    ::DeleteFileA((folder + "product.log").c_str());
    processes_.push_back(
        StartProcess(folder + "Velnoria.exe", "--update " + std::to_string(mode) + " --server " + server_->Url("staged/")));
    return UpdaterStartedBy(folder, 10000);
  };
  auto background = [&](const std::string& folder) {
    Process updater = start(folder, 3);
    EXPECT_NE(WaitForExit(updater, 60000), STILL_ACTIVE);
    StopProducts();
    return FileExists(folder + "UpgradeBackup\\mvt_s.backup");
  };
  auto fetched = [&] {
    size_t n = 0;
    for (const char* m : kServerNames) n += server_->Requests(std::string("/staged/") + m).size();
    return n;
  };
  // At 0 % nobody pre-loads, and mode 1 ends before its window shows; mode 2 is never held back.
  staged.At(0);
  for (const std::string& folder : folders) EXPECT_FALSE(background(folder)) << folder;
  EXPECT_EQ(fetched(), 0u);
  for (const int mode : {1, 2}) {
    Process updater = start(folders[0], mode);
    HWND window = WaitForVisibleWindow(updater, mode == 1 ? 3000 : 20000);
    EXPECT_EQ(window != nullptr, mode == 2) << "mode " << mode;
    if (window) ::PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_NE(WaitForExit(updater, 20000), STILL_ACTIVE);
    StopProducts();
  }
  EXPECT_NE(ReadFileBytes(folders[0] + "Updater.log").find("end: the release is not offered to this installation"),
            std::string::npos);
  // Each run reported once: held back, with the stage and never a bucket (mode 2 is offered, and its window left).
  const std::vector<std::string> reports = server_->Requests("/staged/UpdaterReport");
  EXPECT_EQ(reports.size(), folders.size() + 2);
  const std::string requests = ReadFileBytes(WindowsPath(g_serverState) + "\\requests.log");
  EXPECT_EQ(Count(requests, "outcome=heldback&stage=none&code=0&content="), folders.size() + 1);
  EXPECT_EQ(Count(requests, "&rollout=0&"), folders.size() + 1);
  EXPECT_EQ(Count(requests, "bucket="), 0u);
  // At 50 % exactly the installations whose bucket for this release is below 50.
  staged.At(50);
  std::vector<bool> first(folders.size());
  int firstCount = 0;
  for (size_t i = 0; i < folders.size(); ++i) {
    first[i] = RolloutBucket(InstallationIdentity(W(folders[i])).value(), staged.Current()) < 50;
    firstCount += first[i];
    EXPECT_EQ(background(folders[i]), first[i]) << folders[i];
  }
  EXPECT_GT(firstCount, 2);  // about half of 20 (all but 1 in 4000 draws have 3 to 17)
  EXPECT_LT(firstCount, 18);
  // A halt reaches the pre-loads made: their markers go (the product installs nothing halted at its next
  // start), their files stay for a later stage; and no new pre-load is made.
  staged.At(0);
  for (size_t i = 0; i < folders.size(); ++i) {
    EXPECT_FALSE(background(folders[i])) << folders[i];
    EXPECT_EQ(FileExists(folders[i] + "UpgradeBackup\\Velkor.dll"), first[i]) << folders[i];
  }
  EXPECT_NE(ReadFileBytes(folders[0] + "Updater.log").find(first[0] ? "loses its marker" : "not offered"),
            std::string::npos);
  // At 100 % the rest follow, and the first half downloads nothing again.
  staged.At(100);
  server_->ClearLog();
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_TRUE(!first[i] || background(folders[i])) << folders[i];
  EXPECT_EQ(fetched(), 0u);
  for (size_t i = 0; i < folders.size(); ++i) EXPECT_TRUE(first[i] || background(folders[i])) << folders[i];
  StopProducts();
  for (const std::string& folder : folders) RemoveTree(folder);
}

TEST_F(UpdateFlow, AnAdministratorsPolicyGovernsEveryMode) {
  Staged staged("governed");
  auto run = [&](int mode, const std::string& server) {
    ::DeleteFileA((install_ + "product.log").c_str());
    processes_.push_back(StartProcess(install_ + "Velnoria.exe", "--update " + std::to_string(mode) + " --server " + server));
    Process updater = UpdaterStartedBy(install_, 10000);
    HWND window = mode == 3 ? nullptr : WaitForVisibleWindow(updater, 3000);
    if (window) ::PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_NE(WaitForExit(updater, 60000), STILL_ACTIVE);
    StopProducts();
    return window != nullptr;
  };
  // Updates off: every mode ends at once, fetching nothing.
  ImportRegistry(std::string(kPolicyKeyText) + "\"UpdatesEnabled\"=dword:00000000\r\n");
  for (const int mode : {1, 2, 3}) EXPECT_FALSE(run(mode, server_->Url("release/"))) << mode;
  EXPECT_TRUE(server_->Requests("/release/ModelMD5.dll").empty());
  EXPECT_TRUE(server_->Requests("/release/UpdateContent.dll").empty());
  EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("updates are turned off by the administrator's policy"),
            std::string::npos);
  ExpectReports(3, {"outcome=policy"});
  // Reports off: nothing at all reaches the server.
  ImportRegistry(std::string(kPolicyKeyText) + "\"ReportOutcomes\"=dword:00000000\r\n");
  server_->ClearLog();
  for (const int mode : {1, 3}) EXPECT_FALSE(run(mode, server_->Url("release/"))) << mode;
  ExpectReports(0, {});
  // Background off: mode 3 ends at once, mode 1 still offers the release.
  ImportRegistry(std::string(kNoPolicy) + kPolicyKeyText + "\"BackgroundEnabled\"=dword:00000000\r\n");
  server_->ClearLog();
  EXPECT_FALSE(run(3, server_->Url("release/")));
  EXPECT_FALSE(FileExists(Marker()));
  EXPECT_TRUE(run(1, server_->Url("release/")));
  const std::vector<std::string> ended = server_->Requests("/release/UpdaterReport");
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_NE(ended[0].find("mode=3&outcome=policy"), std::string::npos);
  EXPECT_NE(ended[1].find("mode=1&outcome=declined"), std::string::npos);
  // A mirror of the administrator's, and a test ring first at a stage of 1 %; a value
  // of the wrong type is ignored.
  staged.At(1);
  ImportRegistry(std::string(kNoPolicy) + kPolicyKeyText + "\"ServerBase\"=\"" + server_->Url("governed/") +
                 "\"\r\n\"RolloutOverride\"=dword:00000000\r\n\"MaxRelease\"=\"12\"\r\n");
  server_->ClearLog();
  EXPECT_FALSE(run(3, "http://127.0.0.1:9/dead/"));
  EXPECT_TRUE(FileExists(Marker()));
  EXPECT_FALSE(server_->Requests("/governed/ModelMD5.dll").empty());
  EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("policy MaxRelease (user): ignored"), std::string::npos);
  ImportRegistry(kNoPolicy);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 5) {
    fprintf(stderr, "usage: update_flow_tests UPDATER_EXE SERVER_STATE_DIR RELEASE_DIR READONLY_DIR\n");
    return 2;
  }
  g_updater = WindowsPath(argv[1]);
  g_serverState = argv[2];
  g_releaseDir = WindowsPath(argv[3]) + "\\";
  g_readonlyState = argv[4];
  return RUN_ALL_TESTS();
}
