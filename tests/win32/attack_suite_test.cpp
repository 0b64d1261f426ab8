// Whatever a server, a captive portal or an attacker answers, and whatever
// stops the updater: the install folder holds one whole release, old or new;
// the backup folder's marker exists only beside a complete, verified set; the
// updater ends within a bounded time. Each case is checked against all three.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "TestSupport.h"
#include "engine/transfer/DeltaPatch.h"
#include "engine/release/ModuleDigest.h"
#include "engine/crypto/Sha256.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/transfer/SmallFetch.h"
#include "engine/release/Manifest.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/install/InstallJournal.h"
#include "engine/install/ServiceClient.h"
#include "framework/ScopedSystem.h"

#include <wincrypt.h>

using namespace testing_support;

namespace {

std::string g_updater, g_keyedUpdater, g_serverState, g_releaseDir;
// Host paths: the caching proxy's state, the release tool, the release keys, the releases.
std::string g_cdnState, g_releaseTool, g_keyDir, g_releaseHost;
// The HTTPS test server's state (host path), and where pictures go.
std::string g_tlsState, g_shotDir;
int g_cases = 0, g_breaks = 0;

std::string Module(const std::string& release, const char* name) {
  return ReadFileBytes(g_releaseDir + release + "\\" + name);
}

class AttackSuite : public ProductCase {
 protected:
  AttackSuite() : ProductCase(g_serverState, g_releaseDir, g_updater) {}
  std::string Status(HWND w) { return Text(::GetDlgItem(w, 1011)); }
  bool Failed(HWND w) { return Status(w) == "更新失败！" && ::IsWindowEnabled(::GetDlgItem(w, 1000)); }

  // One release in the install folder, "old", "new" or "newer"; empty when mixed.
  std::string InstalledRelease() const {
    for (const char* release : {"old", "new", "newer"}) {
      bool all = true;
      for (const char* m : kCatalogueFiles) all = all && ReadFileBytes(install_ + m) == Module(release, m);
      if (all) return release;
    }
    return "";
  }
  bool MarkerSet() const {
    char value[8] = {};
    ::GetPrivateProfileStringA("SUpgrade", "Key", "", value, sizeof value,
                               (install_ + "UpgradeBackup\\mvt_s.backup").c_str());
    return strcmp(value, "1") == 0;
  }
  bool BackupComplete() const {
    for (const char* m : kCatalogueFiles)
      if (ReadFileBytes(install_ + "UpgradeBackup\\" + m) != Module(preloaded_, m)) return false;
    return true;
  }
  std::string preloaded_ = "new";  // the release a pre-load is of
  // The three invariants, counted for the report. `release` is what the
  // install folder must hold afterwards ("" for either).
  void Check(const char* label, const std::string& release, bool updaterEnded) {
    ++g_cases;
    bool broken = false;
    const std::string installed = InstalledRelease();
    if (installed.empty() || (!release.empty() && installed != release)) {
      broken = true;
      ADD_FAILURE() << label << ": the install folder holds " << (installed.empty() ? "a mix" : installed)
                    << (release.empty() ? "" : ", not the " + release + " release");
    }
    if (MarkerSet() && !BackupComplete()) {
      broken = true;
      ADD_FAILURE() << label << ": the marker stands beside an incomplete or unverified backup folder";
    }
    if (!updaterEnded) {
      broken = true;
      ADD_FAILURE() << label << ": the updater did not end in time";
    }
    if (broken) ++g_breaks;
  }

  // Mode 1 against `faults`: 升级, then whatever the run shows; 完成 when it
  // succeeded, else the window is closed. True when it succeeded.
  bool Interactive(const std::string& faults, const std::string& productArgs = "", int mode = 1) {
    server_->SetFaults(faults);
    StartProduct(mode, productArgs);
    HWND w = WaitForVisibleWindow(updater_, 20000);
    if (!w) return false;
    Click(w, 1000);
    bool succeeded = false;
    WaitUntil([&] {
      succeeded = ::IsWindowVisible(::GetDlgItem(w, 1002)) != FALSE;
      return succeeded || Failed(w) || WaitForExit(updater_, 0) != STILL_ACTIVE;
    }, 120000);
    if (succeeded)
      Click(w, 1002);
    else
      ::PostMessageA(w, WM_CLOSE, 0, 0);
    return succeeded;
  }
  // Mode 3 against `faults`, until the updater ends (or `limitMs`).
  bool Background(const std::string& faults, DWORD limitMs = 120000) {
    server_->SetFaults(faults);
    StartProduct(3);
    return WaitForExit(updater_, limitMs) != STILL_ACTIVE;
  }
  bool Ended(DWORD ms) { return WaitForExit(updater_, ms) != STILL_ACTIVE; }
  std::string PublishedManifest() const {
    return ReadFileBytes(WindowsPath(g_serverState) + "\\www\\release\\ModelMD5.dll");
  }
  std::string Json(std::string text) const {
    std::string out;
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      if (c == '\r') { out += "\\r"; continue; }
      if (c == '\n') { out += "\\n"; continue; }
      out += c;
    }
    return out;
  }

  // The updater trusts the build's release key from now on, and the server
  // folder it is pointed at is `folder`.
  void UseKeyedUpdater(const std::string& folder) {
    ::CopyFileA(g_keyedUpdater.c_str(), (install_ + "Updater.exe").c_str(), FALSE);
    folder_ = folder;
  }
  std::string Www(const std::string& name) const { return WindowsPath(g_serverState) + "\\www\\" + name; }
};

const char kPortalPage[] = "<html><body>Welcome! Accept the terms to use this network.</body></html>";

}  // namespace

TEST_F(AttackSuite, CaptivePortalAnsweringEveryUrl) {
  const std::string page = std::string("{\"*\": {\"body\": \"") + kPortalPage + "\"}}";
  EXPECT_FALSE(Interactive(page));
  Check("captive portal, mode 1", "old", Ended(20000));
  TearDown();
  SetUp();
  Check("captive portal, mode 3", "old", Background(page));
  EXPECT_FALSE(FileExists(install_ + "UpgradeBackup\\Velnoria.exe"));
  TearDown();
  SetUp();
  // The same page behind a redirect of every URL.
  const std::string redirect = std::string("{\"/portal.html\": {\"body\": \"") + kPortalPage +
                               "\"}, \"*\": {\"redirect\": \"" + server_->Url("portal.html") + "\"}}";
  EXPECT_FALSE(Interactive(redirect));
  Check("portal by redirect, mode 1", "old", Ended(20000));
  TearDown();
  SetUp();
  Check("portal by redirect, mode 3", "old", Background(redirect));
}

TEST_F(AttackSuite, TheMarkerNeverOutlivesAWholeSet) {
  // A successful pre-load leaves the marker.
  ASSERT_TRUE(Background("{}"));
  ASSERT_TRUE(MarkerSet());
  Check("background pre-load", "old", true);
  // A later run that fails (one pre-loaded module spoiled, its download cut
  // every time) takes the marker away.
  WriteFileBytes(install_ + "UpgradeBackup\\Tamrik.dll", "spoiled");
  Check("later background run that fails", "old", Background("{\"/release/Tamrik.dll\": {\"cut_after\": 1000}}"));
  EXPECT_FALSE(MarkerSet());
  // Pre-load again, then stop a run midway with the updater-exit event and by a kill.
  ASSERT_TRUE(Background("{}"));
  ASSERT_TRUE(MarkerSet());
  WriteFileBytes(install_ + "UpgradeBackup\\Velkor.dll", "spoiled");
  server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 20000}}");
  StartProduct(3, "--updater-exit-after 1500");
  Check("background run stopped by the updater-exit event", "old", Ended(15000));
  EXPECT_FALSE(MarkerSet());
  ASSERT_TRUE(Background("{}"));
  ASSERT_TRUE(MarkerSet());
  WriteFileBytes(install_ + "UpgradeBackup\\Velkor.dll", "spoiled");
  server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 20000}}");
  StartProduct(3);
  ::Sleep(1500);
  ::TerminateProcess(updater_.handle.get(), 9);
  Check("background run killed", "old", Ended(5000));
  EXPECT_FALSE(MarkerSet());
}

TEST_F(AttackSuite, ManifestsThatLackAModuleOrShoutTheirDigests) {
  // A manifest without the key of an installed module fails the run:
  // nothing is installed unchecked.
  std::string manifest = PublishedManifest();
  const size_t at = manifest.find("Tamrik=");
  ASSERT_NE(at, std::string::npos);
  std::string partial = manifest;
  partial.erase(at, manifest.find('\n', at) + 1 - at);
  const std::string lacking = "{\"/release/ModelMD5.dll\": {\"body\": \"" + Json(partial) + "\"}}";
  EXPECT_FALSE(Interactive(lacking));
  Check("manifest lacking a module, mode 1", "old", Ended(20000));
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 0u);
  TearDown();
  SetUp();
  // The same manifest where that module is not installed either: empty
  // equals empty, it is not queued, and the others are installed.
  ::DeleteFileA((install_ + "Tamrik.dll").c_str());
  EXPECT_TRUE(Interactive(lacking));
  EXPECT_TRUE(Ended(30000));
  ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(install_ + "Velkor.dll") == Module("new", "Velkor.dll"); }, 10000));
  for (const char* m : kCatalogueFiles)
    EXPECT_TRUE(strcmp(m, "Tamrik.dll") == 0 || ReadFileBytes(install_ + m) == Module("new", m)) << m;
  EXPECT_FALSE(FileExists(install_ + "Tamrik.dll"));
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 0u);
  TearDown();
  SetUp();
  // Upper-case digests are the same values: one download per module, installed.
  // (The fingerprints' section only: the names of files by content are names.)
  std::string upper = manifest;
  bool inValue = false;
  for (size_t i = 0; i < upper.find("\n["); ++i) {
    char& c = upper[i];
    if (c == '=') inValue = true;
    if (c == '\n') inValue = false;
    if (inValue && c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
  }
  EXPECT_TRUE(Interactive("{\"/release/ModelMD5.dll\": {\"body\": \"" + Json(upper) + "\"}}"));
  const bool ended = Ended(30000);
  ASSERT_TRUE(WaitUntil([&] { return InstalledRelease() == "new"; }, 10000));
  Check("manifest with upper-case digests", "new", ended);
  EXPECT_EQ(server_->Requests("/release/Velkor.dll").size(), 1u);
}

TEST_F(AttackSuite, HostileTransfers) {
  struct Case {
    const char* name;
    const char* faults;
  } cases[] = {
      {"endless manifest", "{\"/release/ModelMD5.dll\": {\"endless\": true}}"},
      {"manifest headers that drip", "{\"/release/ModelMD5.dll\": {\"header_drip\": true, \"drip_seconds\": 1}}"},
      {"header flood on a module", "{\"/release/Tobrin.dll\": {\"header_flood\": 300000}}"},
      {"chunked module cut before its last chunk", "{\"/release/Tobrin.dll\": {\"chunked\": true, \"chunked_cut\": true}}"},
      {"gzip-encoded module", "{\"/release/Tobrin.dll\": {\"gzip\": true}}"},
      {"module cut, then a stale partial file", "{\"/release/Tobrin.dll\": {\"cut_after\": 5000}}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Check(c.name, "old", Background(c.faults, 180000));
    EXPECT_FALSE(MarkerSet());
    TearDown();
    SetUp();
  }
  // A stale partial file of another release beside a module that comes whole.
  ::CreateDirectoryA((install_ + "UpgradeBackup").c_str(), nullptr);
  WriteFileBytes(install_ + "UpgradeBackup\\Tobrin.dll.part", Module("old", "Tobrin.dll").substr(0, 3000));
  Check("stale partial file", "old", Background("{}"));
  EXPECT_TRUE(MarkerSet());
  // A server that drips once: cut off, and the retry completes the set.
  TearDown();
  SetUp();
  const DWORD started = ::GetTickCount();
  Check("dripping module", "old",
        Background("{\"/release/Tobrin.dll\": {\"drip\": true, \"drip_seconds\": 2, \"times\": 1}}", 120000));
  EXPECT_TRUE(MarkerSet());
  EXPECT_LT(::GetTickCount() - started, 90000u);
}

TEST_F(AttackSuite, ReleaseNotesThatNeverEnd) {
  // Endless or huge notes: the window shows within seconds, with no notes.
  const std::string published = ReadFileBytes(Www("release\\UpdateContent.dll"));
  for (const char* fault : {"{\"endless\": true}", "{\"endless\": true, \"endless_limit\": 5000000}",
                            "{\"drip\": true, \"drip_seconds\": 1}"}) {
    SCOPED_TRACE(fault);
    server_->Put("release/UpdateContent.dll", std::string(200, 'n'));
    server_->SetFaults(std::string("{\"/release/UpdateContent.dll\": ") + fault + "}");
    const DWORD started = ::GetTickCount();
    StartProduct(1);
    HWND w = WaitForVisibleWindow(updater_, 30000);
    ASSERT_NE(w, nullptr);
    EXPECT_LT(::GetTickCount() - started, 20000u);
    EXPECT_EQ(Text(::GetDlgItem(w, 1005)), "");
    EXPECT_FALSE(FileExists(install_ + "UpdateContent.dat") &&
                 ReadFileBytes(install_ + "UpdateContent.dat").size() > (1u << 20));
    ::PostMessageA(w, WM_CLOSE, 0, 0);
    Check("release notes that never end", "old", Ended(10000));
    TearDown();
    SetUp();
  }
  server_->Put("release/UpdateContent.dll", published);  // the other tests' notes
}

TEST_F(AttackSuite, AModuleHeldOpenDuringTheSwapLeavesTheOldRelease) {
  // Another program holds a module open without sharing from the moment
  // the product has exited: after a bounded wait the old release is back,
  // the product starts again on it, the staged files stay.
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  server_->SetFaults("{}");
  StartProduct(1);
  HWND w = WaitForVisibleWindow(updater_, 20000);
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  ASSERT_TRUE(WaitForSuccess(w, 60000));
  Process holder = StartProcess(self, "--hold \"" + install_ + "Tamrik.dll\"");
  ::Sleep(500);
  Click(w, 1002);
  const bool ended = Ended(60000);
  ASSERT_TRUE(WaitUntil([&] {
    const std::string log = ReadFileBytes(install_ + "product.log");
    return log.find("start") != log.rfind("start");
  }, 15000));
  ::TerminateProcess(holder.handle.get(), 0);
  WaitForExit(holder, 5000);
  Check("module held open during the swap", "old", ended);
  // The verified release stays as the pre-load, with its marker.
  EXPECT_TRUE(MarkerSet() && BackupComplete());
}

TEST_F(AttackSuite, ASlowLinkShowsProgressAsItGoes) {
  // About 25 KB/s: the status line moves several times a second's worth,
  // not only at the start and the end of each module.
  server_->SetFaults("{\"/release/Zibrun.exe\": {\"rate\": 25000}}");  // about 170 KB: 7 s
  StartProduct(1);
  HWND w = WaitForVisibleWindow(updater_, 20000);
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  std::set<std::string> seen;
  for (int i = 0; i < 16; ++i) {
    ::Sleep(500);
    seen.insert(Status(w));
  }
  EXPECT_GE(seen.size(), 5u) << "the progress line changed too rarely";
  ::PostMessageA(w, WM_CLOSE, 0, 0);
  Check("slow link", "old", Ended(10000));
}

namespace {

// One way of serving a signed release that a keyed updater must refuse.
struct Forgery {
  const char* name;
  std::function<void()> apply;
};

}  // namespace

TEST_F(AttackSuite, OnlyWhatTheReleaseTeamSignedIsInstalled) {
  // The signed release, as published, installs; the release number is kept.
  UseKeyedUpdater("signed/");
  EXPECT_TRUE(Interactive("{}"));
  const bool ended = Ended(30000);
  ASSERT_TRUE(WaitUntil([&] { return InstalledRelease() == "new"; }, 10000));
  Check("signed release, keyed updater", "new", ended);
  char number[8] = {};
  ::GetPrivateProfileStringA("Release", "Number", "", number, sizeof number, (install_ + "ReleaseNumber.ini").c_str());
  EXPECT_STREQ(number, "2");
  TearDown();
  SetUp();
  // An updater without keys takes a signed release as it takes any other.
  folder_ = "signed/";
  Check("signed release, updater without keys", "old", Background("{}"));
  EXPECT_TRUE(MarkerSet());
  TearDown();
  SetUp();

  const std::string tobrin = ReadFileBytes(Www("signed\\Tobrin.dll"));
  const std::string manifest = ReadFileBytes(Www("signed\\ModelMD5.dll"));
  const std::string signature = ReadFileBytes(Www("signed\\ModelMD5.sig"));
  // A module an attacker changed, its fingerprint forged in the manifest to match.
  std::string forged = tobrin;
  forged[100] = static_cast<char>(forged[100] ^ 0x5A);
  const std::string forgedDigest = ModuleDigestOfBytes(reinterpret_cast<const uint8_t*>(forged.data()),
                                                       static_cast<int32_t>(forged.size()), kModuleDigestKey);
  std::string forgedManifest = manifest;
  const size_t at = forgedManifest.find("Tobrin=") + 7;
  forgedManifest.replace(at, 32, forgedDigest);

  const Forgery forgeries[] = {
      {"one byte of a module changed", [&] { server_->Put("signed/Tobrin.dll", forged); }},
      {"a module grown", [&] { server_->Put("signed/Tobrin.dll", tobrin + "more"); }},
      {"the manifest edited to match a changed module",
       [&] {
         server_->Put("signed/Tobrin.dll", forged);
         server_->Put("signed/ModelMD5.dll", forgedManifest);
       }},
      {"signed by another key", [&] { folder_ = "signed-other/"; }},
      {"no signature file", [&] { server_->Remove("signed/ModelMD5.sig"); }},
      {"a cut signature file", [&] { server_->Put("signed/ModelMD5.sig", signature.substr(0, 40)); }},
      {"an older release than the one installed",
       [&] {
         ::WritePrivateProfileStringA("Release", "Number", "3", (install_ + "ReleaseNumber.ini").c_str());
       }},
      {"an unsigned release", [&] { folder_ = "release/"; }},
  };
  for (const Forgery& f : forgeries) {
    for (const int mode : {1, 3}) {
      SCOPED_TRACE(std::string(f.name) + ", mode " + std::to_string(mode));
      UseKeyedUpdater("signed/");
      f.apply();
      const std::string label = std::string(f.name) + (mode == 1 ? ", mode 1" : ", mode 3");
      if (mode == 1) {
        EXPECT_FALSE(Interactive("{}"));
        Check(label.c_str(), "old", Ended(20000));
      } else {
        Check(label.c_str(), "old", Background("{}"));
        EXPECT_FALSE(MarkerSet());
        // A module that is not the signed one is never pre-loaded under its name.
        EXPECT_NE(ReadFileBytes(install_ + "UpgradeBackup\\Tobrin.dll"), forged);
      }
      server_->Put("signed/Tobrin.dll", tobrin);
      server_->Put("signed/ModelMD5.dll", manifest);
      server_->Put("signed/ModelMD5.sig", signature);
      TearDown();
      SetUp();
    }
  }
}

namespace {

std::string KeyedBinary(const char* folder) {
  // Beside bin\keyed\Updater.exe: bin\<folder>\Updater.exe.
  const std::string bin = g_keyedUpdater.substr(0, g_keyedUpdater.rfind('\\', g_keyedUpdater.rfind('\\') - 1) + 1);
  return bin + folder + "\\Updater.exe";
}

}  // namespace

TEST_F(AttackSuite, NeverBackToAnOlderReleaseAndNeverAFrozenOne) {
  const std::string kept = install_ + "KeptRelease.dat", record = install_ + "ReleaseNumber.ini";
  // Release 2 seen by a background run: it is kept before anything is pre-loaded.
  auto preloadRelease2 = [&] {
    UseKeyedUpdater("signed/");
    Check("release 2 pre-loaded", "old", Background("{}"));
    StopAll();
    EXPECT_TRUE(MarkerSet());
    char promised[8] = {};
    ::GetPrivateProfileStringA("SUpgrade", "Release", "", promised, sizeof promised,
                               (install_ + "UpgradeBackup\\mvt_s.backup").c_str());
    EXPECT_STREQ(promised, "2") << "the marker names the release it promises";
    EXPECT_TRUE(ReadFileBytes(kept) == ReadFileBytes(Www("signed\\ModelMD5.sig")) + ReadFileBytes(Www("signed\\ModelMD5.dll")));
  };
  struct Case {
    const char* what;
    const char* folder;
    std::function<void()> before;  // after release 2 was seen
    bool taken;
    const char* logSays;
  } cases[] = {
      {"an older release after a newer one was seen", "signed-older/", [] {}, false, "older than release 2"},
      {"the same number with other contents", "signed-same-number/", [] {}, false, "other contents"},
      {"the kept release damaged: the recorded number still holds", "signed-older/",
       [&] {
         std::string bytes = ReadFileBytes(kept);
         bytes[bytes.size() / 2] ^= 1;
         WriteFileBytes(kept, bytes);
       },
       false, "does not verify"},
      {"kept release and record deleted: the first that verifies is trusted", "signed-older/",
       [&] {
         ::DeleteFileA(kept.c_str());
         ::DeleteFileA(record.c_str());
       },
       true, "signed release 1 is the newest trusted"},
      {"a record of 20 digits and no kept release: no record, not a wall", "signed/",
       [&] {
         ::DeleteFileA(kept.c_str());
         WriteFileBytes(record, "[Release]\r\nNumber=99999999999999999999\r\n");
       },
       true, "signed release 2 is the newest trusted"},
      {"a negative record and no kept release", "signed/",
       [&] {
         ::DeleteFileA(kept.c_str());
         WriteFileBytes(record, "[Release]\r\nNumber=-7\r\n");
       },
       true, "signed release 2 is the newest trusted"},
      {"an expired release", "signed-expired/", [] {}, false, "expired"},
  };
  for (const Case& c : cases) {
    for (const int mode : {3, 1}) {
      SCOPED_TRACE(std::string(c.what) + ", mode " + std::to_string(mode));
      preloadRelease2();
      c.before();
      folder_ = c.folder;
      const std::string label = std::string(c.what) + (mode == 1 ? ", mode 1" : ", mode 3");
      if (mode == 3) {
        Check(label.c_str(), "old", Background("{}"));
        EXPECT_EQ(MarkerSet(), c.taken);
      } else {
        EXPECT_EQ(Interactive("{}"), c.taken);
        Check(label.c_str(), c.taken ? "new" : "old", Ended(30000));
      }
      EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find(c.logSays), std::string::npos);
      TearDown();
      SetUp();
    }
  }
  // The notes of a release the run may not take are not shown.
  preloadRelease2();
  folder_ = "signed-older/";
  StartProduct(1);
  HWND w = WaitForVisibleWindow(updater_, 20000);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(Text(::GetDlgItem(w, 1005)), "") << "old signed notes beside a newer release";
  // The product, starting, finds the pre-load of release 2 worth installing.
  EXPECT_NE(ReadFileBytes(install_ + "product.log").find("preload 2 installable"), std::string::npos);
  ::PostMessageA(w, WM_CLOSE, 0, 0);
  Check("old notes beside a newer release", "old", Ended(10000));
}

TEST_F(AttackSuite, TheUpdaterRenewsItselfAndItsKeys) {
  const std::string both = ReadFileBytes(KeyedBinary("keyed-both")), other = ReadFileBytes(KeyedBinary("keyed-other"));
  ASSERT_FALSE(both.empty());
  // Signed: the new updater comes with the modules, in the same installation.
  UseKeyedUpdater("rotate1/");
  EXPECT_TRUE(Interactive("{}"));
  Check("a signed release with a new updater", "new", Ended(30000));
  EXPECT_TRUE(ReadFileBytes(install_ + "Updater.exe") == both);
  // The key rotation: the next release, signed with the other key alone,
  // installs through the updater that trusts both, and brings one that
  // trusts only the other key; a release signed with the first key is then refused.
  folder_ = "rotate2/";
  EXPECT_TRUE(Interactive("{}"));
  Check("signed with the second key", "newer", Ended(30000));
  EXPECT_TRUE(ReadFileBytes(install_ + "Updater.exe") == other);
  folder_ = "rotate3/";
  EXPECT_FALSE(Interactive("{}"));
  Check("signed with the removed key", "newer", Ended(30000));
  EXPECT_TRUE(ReadFileBytes(install_ + "Updater.exe") == other);
  TearDown();
  SetUp();

  // Pre-loaded beside the modules.
  UseKeyedUpdater("rotate1/");
  Check("a new updater pre-loaded", "old", Background("{}"));
  EXPECT_TRUE(MarkerSet());
  EXPECT_TRUE(ReadFileBytes(install_ + "UpgradeBackup\\Updater.exe") == both);
  TearDown();
  SetUp();

  // Forged: not the signed program; nothing is installed.
  const std::string published = ReadFileBytes(Www("rotate1\\Updater.exe"));
  UseKeyedUpdater("rotate1/");
  server_->Put("rotate1/Updater.exe", published.substr(0, published.size() - 1) + "x");
  EXPECT_FALSE(Interactive("{}"));
  Check("a forged updater", "old", Ended(30000));
  EXPECT_TRUE(ReadFileBytes(install_ + "Updater.exe") == ReadFileBytes(g_keyedUpdater));
  server_->Put("rotate1/Updater.exe", published);
  TearDown();
  SetUp();

  // Unsigned: an updater without keys takes it as it takes the modules.
  folder_ = "release-updater/";
  EXPECT_TRUE(Interactive("{}"));
  Check("an unsigned release with a new updater, updater without keys", "new", Ended(30000));
  EXPECT_TRUE(ReadFileBytes(install_ + "Updater.exe") == both);
}

TEST_F(AttackSuite, CheaperWaysFallBackAndNeverLeaveABrokenModule) {
  auto listed = [&](const char* section, const std::string& key) {
    char value[512] = {};
    ::GetPrivateProfileStringA(section, key.c_str(), "", value, sizeof value, Www("delta\\ModelMD5.dll").c_str());
    return std::string(value);
  };
  const std::string patchLine = listed("Patches", "Velkor.1"), otherLine = listed("Patches", "Drimsa.1");
  ASSERT_FALSE(patchLine.empty());
  const std::string patchName = patchLine.substr(0, patchLine.find(' '));
  const std::string patch = ReadFileBytes(Www("delta\\" + patchName));
  const std::string manifest = ReadFileBytes(Www("delta\\ModelMD5.dll"));
  const std::string zeros(4 << 20, '\0');

  // As published, unsigned and signed: every module through its patch, in both modes.
  for (const char* folder : {"delta/", "signed-delta/"}) {
    for (const int mode : {1, 3}) {
      SCOPED_TRACE(std::string(folder) + ", mode " + std::to_string(mode));
      if (std::string(folder) == "signed-delta/") UseKeyedUpdater(folder);
      else folder_ = folder;
      server_->ClearLog();
      if (mode == 1) {
        EXPECT_TRUE(Interactive("{}"));
        Check("through patches", "new", Ended(30000));
      } else {
        Check("pre-loaded through patches", "old", Background("{}"));
        EXPECT_TRUE(MarkerSet() && BackupComplete());
      }
      const std::string log = ReadFileBytes(install_ + "Updater.log");
      size_t patched = 0;
      for (size_t at = log.find("made from a patch"); at != std::string::npos; at = log.find("made from a patch", at + 1)) ++patched;
      EXPECT_EQ(patched, 17u) << log;
      EXPECT_TRUE(server_->Requests(std::string("/") + folder + "Velkor.dll").empty()) << "the whole module was fetched";
      TearDown();
      SetUp();
    }
  }

  // Whatever a patch or a deflated module turns out to be, the module comes another way.
  auto fields = [](const std::string& line, int from, int to) {  // words [from, to) of a listed line
    std::istringstream in(line);
    std::string word, out;
    for (int i = 0; in >> word; ++i)
      if (i >= from && i < to) out += (out.empty() ? "" : " ") + word;
    return out;
  };
  struct Fault {
    const char* what;
    std::string faults;
    std::function<void()> apply;
  } faults[] = {
      {"a damaged patch", "{}",
       [&] {
         std::string d = patch;
         d[d.size() / 2] ^= 0x40;
         server_->Put("delta/" + patchName, d);
       }},
      {"a patch for another source, listed as this module's", "{}",
       [&] {
         std::string m = manifest;
         m.replace(m.find(patchLine), patchLine.size(), fields(otherLine, 0, 3) + " " + fields(patchLine, 3, 6));
         server_->Put("delta/ModelMD5.dll", m);
       }},
      {"a patch longer than listed", "{}", [&] { server_->Put("delta/" + patchName, patch + "more bytes"); }},
      {"an endless patch", "{\"/delta/" + patchName + "\": {\"endless\": true}}", [] {}},
      {"a deflated module that inflates beyond its listed size", "{}",
       [&] {
         const std::string bomb = DeflateBytes(reinterpret_cast<const uint8_t*>(zeros.data()), zeros.size());
         std::string m = manifest;
         const std::string line = listed("Compressed", "Fetchkit");
         ASSERT_FALSE(line.empty());
         m.replace(m.find(line), line.size(), Sha256OfBytes(bomb) + " " + std::to_string(bomb.size()) +
                                                 line.substr(line.rfind(' ')));
         // The patch is out of reach, so the deflated module is the way tried first.
         m.replace(m.find("Fetchkit.1="), 11, "Fetchkit.99=");
         // Under its fixed name: the manifest's name by content is taken out.
         const std::string named = "Fetchkit.z=" + listed("Files", "Fetchkit.z") + "\r\n";
         ASSERT_NE(m.find(named), std::string::npos);
         m.erase(m.find(named), named.size());
         server_->Put("delta/ModelMD5.dll", m);
         server_->Put("delta/Fetchkit.dll.z", bomb);
       }},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.what);
    folder_ = "delta/";
    f.apply();
    EXPECT_TRUE(Interactive(f.faults));
    Check(f.what, "new", Ended(60000));
    EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("the next way"), std::string::npos);
    server_->SetFaults("{}");
    server_->Put("delta/" + patchName, patch);
    server_->Put("delta/ModelMD5.dll", manifest);
    server_->Put("delta/Fetchkit.dll.z", ReadFileBytes(Www("signed-delta\\Fetchkit.dll.z")));
    TearDown();
    SetUp();
  }
}

namespace {

// The release tool, a program of this machine, run from here as the release
// team runs it; its arguments are this machine's paths.
::testing::AssertionResult RunReleaseTool(const std::string& arguments) {
  // Wine starts a program of its host by its command line alone and gives no
  // handle to wait on: the shell writes the tool's exit status to a file.
  const std::string done = g_cdnState + "/tool.status";
  ::DeleteFileA(WindowsPath(done).c_str());
  std::string commandLine = "Z:\\bin\\sh -c \"" + g_releaseTool + " " + arguments + " >" + g_cdnState +
                            "/tool.log 2>&1; echo $? >" + done + ".new && mv " + done + ".new " + done + "\"";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return ::testing::AssertionFailure() << "update-release not started: error " << ::GetLastError();
  // (The handles Wine gives for a program of its host are left alone: they name no Windows process.)
  std::string status;
  WaitUntil([&] { return !(status = ReadFileBytes(WindowsPath(done))).empty(); }, 60000);
  if (status.rfind("0", 0) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "update-release " << arguments << ": status '" << status << "': "
                                       << ReadFileBytes(WindowsPath(g_cdnState + "/tool.log"));
}

std::string Origin(const std::string& folder) { return g_serverState + "/www/" + folder; }
// A folder of `state`'s server emptied for a first publish (a signed publish
// never goes below the number a folder holds, and a session may run twice).
std::string Fresh(const std::string& state, const std::string& folder) {
  RemoveTree(WindowsPath(state + "/www/" + folder));
  return state + "/www/" + folder;
}

}  // namespace

TEST_F(AttackSuite, BehindACdnAReleasePublishedOverTheLastInstallsWhole) {
  std::string port = ReadFileBytes(WindowsPath(g_cdnState) + "\\port");
  port.erase(port.find_last_not_of("\r\n") + 1);
  ASSERT_FALSE(port.empty()) << "no caching proxy";
  const std::string proxy = "http://127.0.0.1:" + port + "/";
  const std::string notes = " --notes " + g_releaseHost + "/notes.txt";
  for (const int mode : {1, 3}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const std::string folder = "cdn" + std::to_string(mode) + "/";
    base_ = proxy + folder;
    ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/new " + Origin(folder) + notes));
    // The release installed through the edge, which also keeps every file
    // under its fixed name (as older updaters fetch them) for an hour.
    ASSERT_TRUE(Interactive("{}"));
    ASSERT_TRUE(Ended(30000)) << ReadFileBytes(install_ + "Updater.log") << ReadFileBytes(install_ + "product.log");
    ASSERT_TRUE(WaitUntil([&] { return InstalledRelease() == "new"; }, 10000));
    for (const char* m : kServerNames) {
      const SmallFile primed(base_ + m, W(install_ + "primed.tmp"), {1 << 24, 0, 30000});
      ASSERT_TRUE(primed.ok()) << m;
    }
    TearDown();
    SetUp();
    base_ = proxy + folder;
    InstallRelease(g_releaseDir, "new", install_, g_updater);
    // The next release published at the origin; the edge's entry points go stale in 2 s.
    ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/newer " + Origin(folder) + notes));
    ::Sleep(3000);
    const SmallFile stale(base_ + "Velkor.dll", W(install_ + "stale.tmp"), {1 << 24, 0, 30000});
    ASSERT_EQ(stale.bytes(), Module("new", "Velkor.dll")) << "the edge no longer holds the fixed names";
    if (mode == 1) {
      EXPECT_TRUE(Interactive("{}"));
      const bool ended = Ended(30000);
      WaitUntil([&] { return InstalledRelease() == "newer"; }, 10000);
      Check("a publish over the last, behind a CDN, mode 1", "newer", ended);
    } else {
      preloaded_ = "newer";
      Check("a publish over the last, behind a CDN, mode 3", "new", Background("{}"));
      EXPECT_TRUE(MarkerSet() && BackupComplete());
      preloaded_ = "new";
    }
    TearDown();
    SetUp();
  }
  // An updater that reads only the fixed names (no [Files]) still updates from the same folder.
  base_.clear();
  folder_ = "cdn1/";
  std::string manifest = ReadFileBytes(Www("cdn1\\ModelMD5.dll"));
  const size_t files = manifest.find("[Files]");
  ASSERT_NE(files, std::string::npos);
  manifest.erase(files, manifest.find("\n[", files) + 1 - files);
  EXPECT_TRUE(Interactive("{\"/cdn1/ModelMD5.dll\": {\"body\": \"" + Json(manifest) + "\"}}"));
  const bool ended = Ended(30000);
  WaitUntil([&] { return InstalledRelease() == "newer"; }, 10000);
  Check("the fixed names, as an older updater fetches them", "newer", ended);
  EXPECT_EQ(server_->Requests("/cdn1/Velkor.dll").size(), 1u);
  EXPECT_NE(server_->Requests("/cdn1/Velkor.dll")[0].find("\"path\": \"/cdn1/Velkor.dll\""), std::string::npos);
}

TEST_F(AttackSuite, ATornPairOfEntryPointsCostsOneRefetch) {
  // A new manifest with the signature of another release, once: fetched again, asking caches to revalidate.
  UseKeyedUpdater("signed/");
  const std::string torn = "{\"/signed/ModelMD5.sig\": {\"redirect\": \"/signed-older/ModelMD5.sig\", \"times\": 1}}";
  Check("a torn pair once, mode 3", "old", Background(torn));
  EXPECT_TRUE(MarkerSet() && BackupComplete());
  const std::vector<std::string> signatures = server_->Requests("/signed/ModelMD5.sig");
  ASSERT_EQ(signatures.size(), 2u);
  EXPECT_NE(signatures[1].find("\"cache_control\": \"no-cache\""), std::string::npos) << signatures[1];
  EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("fetched once more"), std::string::npos);
  TearDown();
  SetUp();
  // Still torn on the second look, caches asked to revalidate: no marker, nothing taken, and a
  // signature that does not check is a refusal (the report says trust), not a cache catching up.
  UseKeyedUpdater("signed/");
  server_->ClearLog();
  Check("a torn pair that stays, mode 3", "old",
        Background("{\"/signed/ModelMD5.sig\": {\"redirect\": \"/signed-older/ModelMD5.sig\"}}"));
  EXPECT_FALSE(MarkerSet());
  const std::string log = ReadFileBytes(install_ + "Updater.log");
  EXPECT_NE(log.find("manifest refused: it has no signature by a trusted key"), std::string::npos) << log;
  EXPECT_EQ(log.find("a cache catching up"), std::string::npos) << log;
  const std::vector<std::string> reports = server_->Requests("/signed/UpdaterReport");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("outcome=refused&stage=trust&code=903"), std::string::npos) << reports[0];
}

TEST_F(AttackSuite, AMirrorStandsInForADeadServerAndIsCheckedByteForByte) {
  // Two folders with the same signed release, each listing the other as its mirror.
  const std::string origin = server_->Url("");
  const std::string key = " --sign " + g_keyDir + "/release.key --release 2";
  for (const char* folder : {"mirror-a", "mirror-b"})
    ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/new " + Fresh(g_serverState, folder) + " --notes " +
                               g_releaseHost + "/notes.txt" + key + " --mirror " + origin + "mirror-b/"));
  const std::string kept = ReadFileBytes(Www("mirror-a\\ModelMD5.sig")) + ReadFileBytes(Www("mirror-a\\ModelMD5.dll"));

  // The server base does not answer: the kept release's mirror serves the entry points and every file.
  UseKeyedUpdater("mirror-a/");
  WriteFileBytes(install_ + "KeptRelease.dat", kept);
  base_ = "http://127.0.0.1:9/mirror-a/";
  EXPECT_TRUE(Interactive("{}"));
  bool ended = Ended(30000);
  WaitUntil([&] { return InstalledRelease() == "new"; }, 10000);
  Check("a dead server base, a live mirror", "new", ended);
  EXPECT_EQ(server_->Requests("/mirror-b/Velkor.dll").size(), 1u);
  TearDown();
  SetUp();

  // The server lacks a file: the mirror serves it; a mirror that serves other bytes is refused.
  for (const bool forged : {false, true}) {
    SCOPED_TRACE(forged ? "forged" : "genuine");
    UseKeyedUpdater("mirror-a/");
    WriteFileBytes(install_ + "KeptRelease.dat", kept);
    const std::string faults = std::string("{\"/mirror-a/Velkor.dll\": {\"status\": 404}") +
                               (forged ? ", \"/mirror-b/Velkor.dll\": {\"body\": \"forged module\"}}" : "}");
    const bool succeeded = Interactive(faults);
    EXPECT_EQ(succeeded, !forged);
    ended = Ended(forged ? 60000 : 30000);
    if (!forged) WaitUntil([&] { return InstalledRelease() == "new"; }, 10000);
    Check(forged ? "a mirror serving other bytes" : "a file only the mirror serves", forged ? "old" : "new", ended);
    if (forged) {
      EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("/mirror-b/ are not the release's module"), std::string::npos);
    }
    TearDown();
    SetUp();
  }
}

namespace {

// The HTTPS test server's certificate trusted in the test prefix (as the
// download library's tests do); its base for `folder`, by the name the certificate holds.
std::string TrustedTlsBase(const TestServer& tls, const std::string& folder) {
  const std::string der = ReadFileBytes(WindowsPath(g_tlsState) + "\\cert.der");
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  if (store) {
    ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                       static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    ::CertCloseStore(store, 0);
  }
  return "https://localhost:" + tls.Url(folder).substr(std::string("http://127.0.0.1:").size());
}

const char kPolicyKey[] = "[HKEY_CURRENT_USER\\Software\\Policies\\Velnoria\\Updater]\r\n";
const char kNoPolicy[] = "[-HKEY_CURRENT_USER\\Software\\Policies\\Velnoria]\r\n";

}  // namespace

// A file whose first base is https:// never comes from a plain-http one; an
// updater without keys takes no mirror of an https base at all.
TEST_F(AttackSuite, AnHttpsServerBaseIsNeverSteppedDownFrom) {
  TestServer tls(g_tlsState);
  ASSERT_TRUE(tls.ok());
  const std::string plainMirror = server_->Url("mirror-plain/");
  const std::string key = " --sign " + g_keyDir + "/release.key --release 2";
  ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/new " + Fresh(g_serverState, "mirror-plain/")));
  struct Case {
    const char* what;
    bool keyed;
    std::string folder;   // on the HTTPS server
    std::string publish;  // its options
    bool installs;        // from an https mirror
  } cases[] = {
      {"signed, an https and a plain mirror", true, "tls-signed/",
       key + " --mirror " + TrustedTlsBase(tls, "tls-mirror/") + " --mirror " + plainMirror, true},
      {"unsigned, a plain mirror", false, "tls-plain/", " --mirror " + plainMirror, false},
  };
  ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/new " + Fresh(g_tlsState, "tls-mirror/") + key));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/new " + Fresh(g_tlsState, c.folder) + c.publish));
    if (c.keyed) UseKeyedUpdater("unused/");
    base_ = TrustedTlsBase(tls, c.folder);
    // The module does not come from the server base, by any of its names or ways.
    const std::string velkor = "/" + c.folder + "Velkor.dll";
    tls.SetFaults("{\"" + velkor + "\": {\"status\": 404}, \"" + velkor + ".z\": {\"status\": 404}}");
    server_->ClearLog();
    tls.ClearLog();
    const bool succeeded = Interactive("{}");
    EXPECT_EQ(succeeded, c.installs);
    const bool ended = Ended(60000);
    if (c.installs) WaitUntil([&] { return InstalledRelease() == "new"; }, 10000);
    Check(c.what, c.installs ? "new" : "old", ended);
    tls.SetFaults("{}");
    const std::string plainLog = ReadFileBytes(WindowsPath(g_serverState) + "\\requests.log");
    EXPECT_EQ(plainLog.find("/mirror-plain/"), std::string::npos) << "a plain-http mirror was asked: " << plainLog;
    if (c.installs) {
      const std::string tlsLog = ReadFileBytes(WindowsPath(g_tlsState) + "\\requests.log");
      EXPECT_NE(tlsLog.find("/tls-mirror/Velkor."), std::string::npos) << "the https mirror was not asked";
    }
    TearDown();
    SetUp();
  }
}

// Mode 1's start check judges the signed pair as a run does: an older or an
// expired pair staged at 0 % (a replay) does not keep the window from showing.
TEST_F(AttackSuite, AReplayedPairStagedAtZeroDoesNotSilenceModeOne) {
  const std::string key = " --sign " + g_keyDir + "/release.key";
  const std::string kept = ReadFileBytes(Www("signed\\ModelMD5.sig")) + ReadFileBytes(Www("signed\\ModelMD5.dll"));
  const struct {
    const char* what;
    const char* folder;
    const char* options;
    const char* logSays;
  } cases[] = {
      {"an older pair at 0 %", "replay-older/", " --release 1 --rollout 0", "start check: signed release 1 refused: older"},
      {"an expired pair at 0 %", "replay-expired/", " --release 3 --rollout 0 --expires-days 1 --published-at 1000000000",
       "start check: signed release 3 refused: it expired"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(RunReleaseTool("publish " + g_releaseHost + "/new " + Fresh(g_serverState, c.folder) + key + c.options));
    UseKeyedUpdater(c.folder);
    WriteFileBytes(install_ + "KeptRelease.dat", kept);  // release 2 trusted
    StartProduct(1);
    HWND w = WaitForVisibleWindow(updater_, 20000);
    EXPECT_NE(w, nullptr) << ReadFileBytes(install_ + "Updater.log");
    EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find(c.logSays), std::string::npos)
        << ReadFileBytes(install_ + "Updater.log");
    if (w) ::PostMessageA(w, WM_CLOSE, 0, 0);
    Check(c.what, "old", Ended(20000));
    TearDown();
    SetUp();
  }
}

// Mode 2 under the administrator's pin: the window says so, nothing is
// installed, and leaving does not end the product.
TEST_F(AttackSuite, APinnedInstallationIsToldSoAndKeepsItsProduct) {
  ImportRegistry(std::string(kPolicyKey) + "\"MaxRelease\"=dword:00000001\r\n");
  UseKeyedUpdater("signed/");
  StartProduct(2);
  HWND w = WaitForVisibleWindow(updater_, 20000);
  ASSERT_NE(w, nullptr);
  Click(w, 1000);
  const bool shown =
      WaitUntil([&] { return Status(w) == "管理员已将Marvento固定在版本 1，本次不更新。"; }, 30000);
  EXPECT_TRUE(shown) << Status(w);
  ::Sleep(300);
  SaveScreenPng(g_shotDir + "window-pinned.png");
  for (const int hidden : {1000, 1001, 1002, 1003}) EXPECT_FALSE(Showing(w, hidden)) << hidden;
  Click(w, 1004);
  Check("a pinned mandatory update", "old", Ended(10000));
  EXPECT_EQ(ReadFileBytes(install_ + "product.log").find("exit-request"), std::string::npos);
  EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("holds this installation at release 1"), std::string::npos);
  ImportRegistry(kNoPolicy);
}

// A file named by its content that no base serves right (a damaged copy at an
// edge) is fetched once more under its fixed name, checked the same way.
TEST_F(AttackSuite, ADamagedCopyUnderTheNameOfItsContentFallsBackToTheFixedName) {
  const Manifest published = Manifest::Parse(ReadFileBytes(Www("signed\\ModelMD5.dll")));
  const int row = CatalogueIndexOfBaseName("Velkor");
  ASSERT_FALSE(published.files.modules[row].empty());
  std::string faults = "{\"/signed/" + published.files.modules[row] + "\": {\"body\": \"damaged at the edge\"}";
  if (!published.files.deflated[row].empty()) faults += ", \"/signed/" + published.files.deflated[row] + "\": {\"status\": 404}";
  faults += ", \"/signed/Velkor.dll.z\": {\"status\": 404}}";
  UseKeyedUpdater("signed/");
  EXPECT_TRUE(Interactive(faults));
  const bool ended = Ended(30000);
  WaitUntil([&] { return InstalledRelease() == "new"; }, 10000);
  Check("a damaged copy under the name of its content", "new", ended);
  // Once under each name (the server's log counts the name by content as the fixed one).
  EXPECT_EQ(server_->Requests("/signed/Velkor.dll").size(), 2u);
  EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("fetched once more under Velkor.dll"), std::string::npos);
}

namespace {

// A release of the new modules whose product misbehaves at start
// (scripts/make-sample-release.sh: standin-<name>), published signed with a
// probation of `seconds` into a fresh folder of its own.
::testing::AssertionResult PublishStandIn(const std::string& name, int seconds) {
  return RunReleaseTool("publish " + g_releaseHost + "/standin-" + name + " " + Fresh(g_serverState, "standin-" + name) +
                        " --sign " + g_keyDir + "/release.key --release 2 --probation " + std::to_string(seconds));
}

size_t Occurrences(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(AttackSuite, AReleaseTheProductFailsOnIsPutBackAndNeverTakenAgain) {
  struct Shape {
    const char* name;
    bool reverted;
  };
  // A crash at start and an exit with 3 after a second fail; an exit with 0,
  // health at 2 s and a product that runs through the 4 s without a sign are healthy.
  for (const Shape shape : {Shape{"crash", true}, Shape{"exit3", true}, Shape{"exit0", false}, Shape{"health2s", false},
                            Shape{"nohealth", false}}) {
    SCOPED_TRACE(shape.name);
    TearDown();
    SetUp();
    ASSERT_TRUE(PublishStandIn(shape.name, 4));
    UseKeyedUpdater(std::string("standin-") + shape.name + "/");
    server_->ClearLog();
    ASSERT_TRUE(Interactive("{}"));
    const DWORD finished = ::GetTickCount();
    const bool ended = Ended(40000);
    const std::string log = ReadFileBytes(install_ + "Updater.log"), product = ReadFileBytes(install_ + "product.log");
    if (shape.reverted) {
      Check(shape.name, "old", ended);
    } else {
      EXPECT_TRUE(ended);
      for (const char* m : kCatalogueFiles)
        EXPECT_TRUE(ReadFileBytes(install_ + m) == Module(std::string("standin-") + shape.name, m)) << m << "\n" << log;
    }
    EXPECT_EQ(FileExists(install_ + "Reverted.ini"), shape.reverted);
    EXPECT_FALSE(FileExists(install_ + "Probation.ini"));
    EXPECT_FALSE(FileExists(install_ + "UpgradeBackup_R"));
    const std::vector<std::string> reports = server_->Requests("/standin-" + std::string(shape.name) + "/UpdaterReport");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find(shape.reverted ? "outcome=reverted" : "outcome=installed"), std::string::npos) << reports[0];
    if (!shape.reverted) continue;
    // The old product runs again, and says so.
    EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(install_ + "product.log").find("revert-notice") != std::string::npos; },
                          10000)) << product;
    printf("%s: the old product runs again %.1f s after the finish button (the relaunch on the failing release included)\n",
           shape.name, (::GetTickCount() - finished) / 1000.0);
    ::Sleep(300);
    SaveScreenPng(g_shotDir + "product-after-revert-" + shape.name + ".png");
    // The sequence, for the record: the support log's lines from the relaunch on.
    for (size_t at = log.rfind("relaunch of", log.find("probation: release")); at < log.size(); at = log.find('\n', at) + 1) {
      const std::string line = log.substr(at, log.find('\n', at) - at);
      if (line.find("relaunch") != std::string::npos || line.find("probation") != std::string::npos ||
          line.find("revert") != std::string::npos)
        printf("  %s\n", line.c_str());
      if (log.find('\n', at) == std::string::npos) break;
    }
    EXPECT_NE(log.find("probation: release "), std::string::npos) << log;
    EXPECT_NE(log.find(std::string("ended with exit code ") + (shape.name[0] == 'c' ? "0xC0000005" : "0x00000003")),
              std::string::npos) << log;
    if (std::string(shape.name) != "crash") continue;
    // Never again here: mode 3 pre-loads nothing, mode 1 shows nothing, mode 2 fails.
    AskProductsToExit();
    server_->ClearLog();
    Check("after a revert, mode 3", "old", Background("{}", 30000));
    EXPECT_FALSE(FileExists(install_ + "UpgradeBackup\\Velkor.dll"));
    StartProduct(1);
    Check("after a revert, mode 1", "old", Ended(30000));
    EXPECT_EQ(WindowsOfProcess(updater_.id, true).size(), 0u);
    StartProduct(2);
    HWND w = WaitForVisibleWindow(updater_, 20000);
    ASSERT_NE(w, nullptr);
    Click(w, 1000);
    EXPECT_TRUE(WaitUntil([&] { return Status(w) == "更新失败！"; }, 30000)) << Status(w);
    ::PostMessageA(w, WM_CLOSE, 0, 0);
    Check("after a revert, mode 2", "old", Ended(20000));
    EXPECT_EQ(server_->Requests("/standin-crash/Velkor.dll").size(), 0u);
    const std::vector<std::string> later = server_->Requests("/standin-crash/UpdaterReport");
    EXPECT_EQ(later.size(), 3u);
    EXPECT_GE(Occurrences(ReadFileBytes(install_ + "Updater.log"), "was reverted here"), 3u);  // each mode says why
  }
}

// A per-machine install: the install folder registered for the update
// service by its installer. The keyed updater stages in the user's work
// folder and the service, started by the prefix's service manager, installs.
class MachineInstall : public AttackSuite {
 protected:
  void SetUp() override {
    AttackSuite::SetUp();
    const std::string program = g_keyedUpdater.substr(0, g_keyedUpdater.rfind('\\') + 1) + "UpdaterService.exe";
    ::CopyFileW(W(program).c_str(), W(install_ + "UpdaterService.exe").c_str(), FALSE);
    const Process installer = StartProcess(install_ + "UpdaterService.exe",
                                           "--install \"" + install_.substr(0, install_.size() - 1) + "\"");
    ASSERT_EQ(WaitForExit(installer, 30000), 0u);
    work_ = fw::Utf8(UserWorkFolder(W(install_)));
    RemoveTree(work_);
    work_ = fw::Utf8(UserWorkFolder(W(install_)));
    UseKeyedUpdater("signed/");
  }
  void TearDown() override {
    StopAll();
    WaitForExit(StartProcess(install_ + "UpdaterService.exe", "--uninstall"), 30000);
    RemoveTree(work_);
    AttackSuite::TearDown();
  }
  // Nothing of the updater's own in the install folder: it wrote there only through the service.
  void UpdaterWroteNothingThere(const char* label) {
    for (const char* own : {"Updater.log", "Version.tmp", "UpgradeBackup_P", "UpgradeBackup", "Fetchkit.loaded.dll",
                            "Installation.id", "UpdateContent.dat", "ModelMD5.sig.tmp"})
      EXPECT_FALSE(FileExists(install_ + own)) << label << ": the updater wrote " << own << " in the install folder";
    EXPECT_TRUE(FileExists(work_ + "Updater.log")) << label;
  }
  std::string ServiceLog() const { return ReadFileBytes(install_ + "UpdaterService\\Service.log"); }
  std::string work_;
};

TEST_F(MachineInstall, ModesOneAndTwoInstallThroughTheService) {
  for (int mode : {1, 2}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    if (mode == 2) {
      TearDown();
      SetUp();
    }
    ASSERT_TRUE(Interactive("{}", "", mode)) << ReadFileBytes(work_ + "Updater.log");
    Check(mode == 1 ? "machine install, mode 1" : "machine install, mode 2", "new", Ended(60000));
    UpdaterWroteNothingThere("after the finish");
    EXPECT_NE(ServiceLog().find("service: signed release 2 installed"), std::string::npos) << ServiceLog();
    const std::string log = ReadFileBytes(work_ + "Updater.log");
    EXPECT_NE(log.find("service: the installation of"), std::string::npos) << log;
    EXPECT_NE(log.find("relaunch of Velnoria.exe: started"), std::string::npos) << log;
    const std::vector<std::string> reports = server_->Requests("/signed/UpdaterReport");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("outcome=installed"), std::string::npos) << reports[0];
  }
}

TEST_F(MachineInstall, ModeThreePreloadsForTheUserAndTheProductsStartInstallsIt) {
  ASSERT_TRUE(Background("{}"));
  Check("machine install, mode 3", "old", true);
  char key[8] = {};
  ::GetPrivateProfileStringA("SUpgrade", "Key", "", key, sizeof key, (work_ + "UpgradeBackup\\mvt_s.backup").c_str());
  EXPECT_STREQ(key, "1");
  UpdaterWroteNothingThere("after the pre-load");
  // The product's next start: before it loads its modules, the updater
  // (mode 3, no window yet) has the service install the pre-load.
  AskProductsToExit();
  ASSERT_TRUE(WaitUntil([&] { return WaitForExit(product_, 0) != STILL_ACTIVE; }, 20000));
  StartProductPlain();
  updater_ = UpdaterStartedBy(install_, 10000);
  ASSERT_TRUE(updater_.handle);
  Check("machine install, the product's start", "new", Ended(60000));
  EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(install_ + "product.log").find("listening") != std::string::npos; },
                        20000)) << ReadFileBytes(install_ + "product.log");
  EXPECT_NE(ReadFileBytes(work_ + "Updater.log").find("the pre-load is installed"), std::string::npos)
      << ReadFileBytes(work_ + "Updater.log");
  EXPECT_FALSE(FileExists(work_ + "UpgradeBackup"));
  UpdaterWroteNothingThere("after the product's start");
}

TEST_F(MachineInstall, AReleaseTheProductFailsOnIsPutBackByTheService) {
  ASSERT_TRUE(PublishStandIn("crash", 4));
  UseKeyedUpdater("standin-crash/");
  ASSERT_TRUE(Interactive("{}"));
  Check("machine install, a release the product fails on", "old", Ended(40000));
  EXPECT_TRUE(FileExists(install_ + "Reverted.ini"));
  EXPECT_FALSE(FileExists(install_ + "Probation.ini"));
  EXPECT_FALSE(FileExists(install_ + "UpgradeBackup_R"));
  EXPECT_NE(ReadFileBytes(work_ + "Updater.log").find("service: the revert of"), std::string::npos)
      << ReadFileBytes(work_ + "Updater.log");
  const std::vector<std::string> reports = server_->Requests("/standin-crash/UpdaterReport");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("outcome=reverted"), std::string::npos) << reports[0];
  EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(install_ + "product.log").find("revert-notice") != std::string::npos; },
                        10000));
}

TEST_F(MachineInstall, WithoutTheServiceNothingIsFetchedAndTheFolderStays) {
  {
    const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const fw::ScopedService service(::OpenServiceW(manager.get(), kUpdateServiceName, DELETE));
    ASSERT_TRUE(service && ::DeleteService(service.get()));
  }
  server_->SetFaults("{}");
  StartProduct(1);
  HWND w = WaitForVisibleWindow(updater_, 20000);
  ASSERT_TRUE(w);
  Click(w, 1000);
  EXPECT_TRUE(WaitUntil([&] { return Failed(w); }, 20000)) << Status(w);
  ::Sleep(500);  // the window's last paint
  SaveScreenPng(g_shotDir + "machine-install-no-service.png");
  ::PostMessageA(w, WM_CLOSE, 0, 0);
  Check("machine install without the service", "old", Ended(20000));
  EXPECT_NE(ReadFileBytes(work_ + "Updater.log").find("which is not installed or may not be started: nothing is downloaded"),
            std::string::npos) << ReadFileBytes(work_ + "Updater.log");
  const std::vector<std::string> reports = server_->Requests("/signed/UpdaterReport");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("code=1100"), std::string::npos) << reports[0];
  UpdaterWroteNothingThere("without the service");
}

TEST_F(MachineInstall, TheUpdaterAndTheServiceRenewThemselvesThroughTheService) {
  // A release that carries another updater and another service (their
  // programs with a trailer), signed as release 3.
  const std::string build = g_cdnState + "/machine-build", buildHere = WindowsPath(build) + "\\";
  RemoveTree(buildHere);
  ::CreateDirectoryW(W(buildHere).c_str(), nullptr);
  for (const char* m : kCatalogueFiles) ::CopyFileW(W(g_releaseDir + "new\\" + m).c_str(), W(buildHere + m).c_str(), FALSE);
  const std::string updater = ReadFileBytes(install_ + "Updater.exe") + "\nrelease 3\n";
  const std::string service = ReadFileBytes(install_ + "UpdaterService.exe") + "\nrelease 3\n";
  WriteFileBytes(buildHere + "Updater.exe", updater);
  WriteFileBytes(buildHere + "UpdaterService.exe", service);
  ASSERT_TRUE(RunReleaseTool("publish " + build + " " + Fresh(g_serverState, "machine-renewal") + " --sign " + g_keyDir +
                             "/release.key --release 3"));
  UseKeyedUpdater("machine-renewal/");
  ASSERT_TRUE(Interactive("{}")) << ReadFileBytes(work_ + "Updater.log");
  Check("machine install, renewal", "new", Ended(60000));
  EXPECT_TRUE(ReadFileBytes(install_ + "Updater.exe") == updater);
  EXPECT_TRUE(ReadFileBytes(install_ + "UpdaterService.exe") == service) << ServiceLog();
  // The renewed service serves the next request, and lets go of what the renewal moved aside.
  RemoveTree(work_ + "Request\\");
  ::CreateDirectoryW(W(work_ + "Request\\").c_str(), nullptr);
  EXPECT_EQ(RequestServiceInstall(W(install_), W(work_ + "Request\\"), 60000), ServiceOutcome::Installed) << ServiceLog();
  EXPECT_FALSE(FileExists(install_ + "UpdaterService.exe.del"));
  EXPECT_FALSE(FileExists(install_ + "Updater.exe.del"));
  UpdaterWroteNothingThere("after the renewal");
}

TEST_F(MachineInstall, AnInterruptedInstallationIsCompletedByTheServiceAtTheProductsStart) {
  // The folder as a stop half-way through the service's installation leaves
  // it: eight modules swapped, the rest staged, the old ones kept, the journal.
  const std::string staging = install_ + "UpgradeBackup_P\\";
  ::CreateDirectoryW(W(staging).c_str(), nullptr);
  ::CreateDirectoryW(W(staging + "previous").c_str(), nullptr);
  InstallJournal journal;
  for (int i = 0; i < 17; ++i) {
    const std::string m = kCatalogueFiles[i], fresh = g_releaseDir + "new\\" + m;
    ::CopyFileW(W(install_ + m).c_str(), W(staging + "previous\\" + m).c_str(), FALSE);
    ::CopyFileW(W(fresh).c_str(), W(i < 8 ? install_ + m : staging + m + ".tmp").c_str(), FALSE);
    journal.modules.push_back(JournalModule{m, i < 8, true, ModuleDigest(W(fresh), kModuleDigestKey), "", -1});
  }
  WriteFileBytes(install_ + "Install.journal", RenderJournal(journal));
  ASSERT_EQ(InstalledRelease(), "");
  StartProductPlain();
  updater_ = UpdaterStartedBy(install_, 10000);
  ASSERT_TRUE(updater_.handle);
  Check("machine install, an interrupted installation", "new", Ended(60000));
  EXPECT_FALSE(FileExists(install_ + "Install.journal"));
  EXPECT_FALSE(FileExists(staging));
  EXPECT_TRUE(WaitUntil([&] { return ReadFileBytes(install_ + "product.log").find("journal-done") != std::string::npos; },
                        20000)) << ReadFileBytes(install_ + "product.log");
  EXPECT_NE(ServiceLog().find("recovery: an interrupted installation was finished"), std::string::npos) << ServiceLog();
  UpdaterWroteNothingThere("after the recovery");
}

int main(int argc, char** argv) {
  // Helper role: hold a file open without sharing until killed.
  if (argc == 3 && std::string(argv[1]) == "--hold") {
    HANDLE h = ::CreateFileA(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ::Sleep(h == INVALID_HANDLE_VALUE ? 0 : 120000);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 10) {
    fprintf(stderr, "usage: attack_suite_tests UPDATER SERVER_STATE RELEASE_DIR KEYED_UPDATER CDN_STATE RELEASE_TOOL "
                    "KEY_DIR TLS_SERVER_STATE SCREENSHOT_DIR\n");
    return 2;
  }
  g_tlsState = argv[8];
  g_shotDir = WindowsPath(argv[9]) + "\\";
  ::CreateDirectoryA(g_shotDir.c_str(), nullptr);
  g_releaseHost = argv[3];
  g_cdnState = argv[5];
  g_releaseTool = argv[6];
  g_keyDir = argv[7];
  g_updater = WindowsPath(argv[1]);
  g_keyedUpdater = WindowsPath(argv[4]);
  g_serverState = argv[2];
  g_releaseDir = WindowsPath(argv[3]) + "\\";
  const int result = RUN_ALL_TESTS();
  printf("attack suite: %d cases, %d breaks\n", g_cases, g_breaks);
  return result;
}
