// The engine's Windows side on real files: the manifest comparison, the
// installation with locked modules, deletion, the launcher and the events.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <set>
#include <vector>

#include "EngineStandIn.h"
#include "TestSupport.h"
#include "engine/transfer/ArrivalCheck.h"
#include "engine/install/FolderLock.h"
#include "engine/install/Installer.h"
#include "engine/release/ManifestCheck.h"
#include "engine/release/ModuleDigest.h"
#include "framework/ParallelWork.h"
#include "engine/install/ProductLink.h"
#include "engine/crypto/Sha256.h"
#include "engine/crypto/Sha256Blocks.h"
#include "engine/release/ReleaseTrust.h"
#include "framework/Files.h"
#include "framework/Thread.h"

using namespace testing_support;

namespace {

std::string g_sampleProduct;
constexpr char kServerBase[] = "http://updates.example/r/";

std::string Digest(const std::string& bytes) {
  return ModuleDigestOfBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()),
                             kModuleDigestKey);
}

// A second process that holds a file open without sharing until killed.
Process HoldOpen(const std::string& path) {
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  Process holder = StartProcess(self, "--hold \"" + path + "\"");
  // Wait until the file can no longer be opened for reading.
  for (int i = 0; i < 200; ++i) {
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) break;
    ::CloseHandle(h);
    ::Sleep(20);
  }
  return holder;
}

class EngineFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = W(MakeTempFolder("engine"));
  }
  void TearDown() override { RemoveTree(fw::Utf8(folder_)); }
  std::wstring In(const std::string& name) const { return folder_ + W(name); }
  EngineSettings Settings(HANDLE product = nullptr) const {
    return EngineSettings{1, kServerBase, folder_, product, {}, PROGRESS_PRESENT_INTERVAL_MS, {}};
  }
  // Queues `modules` through a manifest that lists another digest for each,
  // and stages the new contents.
  std::vector<DownloadTask> QueueAndStage(const std::vector<std::pair<std::string, std::string>>& modules) {
    std::string manifest = "[ModuleVersion]\r\n";
    for (const auto& [name, content] : modules)
      manifest += name.substr(0, name.find('.')) + "=" + Digest(content) + "\r\n";
    ::CreateDirectoryW(In("UpgradeBackup_P").c_str(), nullptr);
    ManifestCheck check(Settings(), 1, KeepPartial::No, nullptr);
    check.UseManifest(manifest);
    for (const auto& [name, content] : modules) {
      check.CheckModule(CatalogueIndexOfBaseName(name.substr(0, name.find('.'))));
      WriteFileBytes(In("UpgradeBackup_P\\" + name + ".tmp"), content);
    }
    return check.Tasks();
  }
  bool Install(const std::vector<DownloadTask>& tasks) { return InstallModules(folder_, tasks, pending_); }
  std::wstring folder_;
  std::vector<std::wstring> pending_;

};

}  // namespace

TEST_F(EngineFiles, ManifestComparisonOutcomes) {
  WriteFileBytes(In("Velkor.dll"), "velkor v1");
  WriteFileBytes(In("Drimsa.dll"), "drimsa v1");
  WriteFileBytes(In("Pravik.exe"), "pravik v1");
  WriteFileBytes(In("Mornel.dll"), "mornel v1");
  WriteFileBytes(In("Velnoria.exe"), "product v1");
  WriteFileBytes(In("Quintar.dll"), "quintar v1");
  const std::string manifest = "[ModuleVersion]\r\n" + std::string(
      "Velkor=" + Digest("velkor v1") + "\r\n" +         // equal: not queued
      "Drimsa=" + Digest("drimsa v2") + "\r\n" +         // different: queued
      "Tobrin=" + Digest("tobrin v2") + "\r\n" +         // missing file: queued
      /* Pravik: no key, file present: queued */
      /* Lumsk: no key, no file: not queued */
      "MORNEL  =  \"" + Digest("mornel v1") + "\"  \r\n" +  // case of the key, blanks, quotes
      "Quintar=" + [] {
        std::string d = Digest("quintar v1");
        for (char& c : d) c = static_cast<char>(toupper(c));
        return d;
      }() + "\r\n" +                                     // upper-case digits: the same value
      "Saffen=" + Digest("product v1") + "\r\n");        // the launcher row: equal
  ManifestCheck check(Settings(), 1, KeepPartial::No, nullptr);
  check.UseManifest(manifest);
  for (const char* row : {"Velkor", "Drimsa", "Tobrin", "Pravik", "Mornel", "Quintar", "Lumsk", "Saffen"})
    check.CheckModule(CatalogueIndexOfBaseName(row));
  std::vector<std::string> queued;
  for (const auto& t : check.Tasks()) queued.push_back(t.localFileName);
  EXPECT_EQ(queued, (std::vector<std::string>{"Drimsa.dll", "Tobrin.dll", "Pravik.exe"}));
  EXPECT_EQ(check.Tasks()[0].remoteName, "Drimsa.dll");
  EXPECT_EQ(check.Tasks()[0].bases, std::vector<std::string>{"http://updates.example/r/"});
  EXPECT_EQ(check.Tasks()[0].expectedDigest, Digest("drimsa v2"));
  EXPECT_EQ(check.Tasks()[2].expectedDigest, "");

  // The launcher row downloads Saffen.exe for Velnoria.exe.
  WriteFileBytes(In("Velnoria.exe"), "product v0");
  ManifestCheck again(Settings(), 1, KeepPartial::No, nullptr);
  // Fetched by the name of its content where the release lists one, from the server base, then its mirrors
  // (an updater without release keys: only plain-http ones, and only for a plain-http server base).
  again.UseManifest(manifest + "[Files]\r\nSaffen=Saffen.0123456789abcdef.exe\r\n[Mirrors]\r\n"
                               "2=http://m2.example/\r\n1=https://m1.example/r/\r\n1=http://updates.example/r/\r\n");
  again.CheckModule(CatalogueIndexOfBaseName("Saffen"));
  ASSERT_EQ(again.Tasks().size(), 1u);
  EXPECT_EQ(again.Tasks()[0].localFileName, "Velnoria.exe");
  EXPECT_EQ(again.Tasks()[0].remoteName, "Saffen.0123456789abcdef.exe");
  EXPECT_EQ(again.Tasks()[0].bases,
            (std::vector<std::string>{"http://updates.example/r/", "http://m2.example/"}));
  EXPECT_EQ(again.Tasks()[0].fixedName, "Saffen.exe");  // when no base serves the name by content right
  EXPECT_EQ(again.Tasks()[0].messageId, 0x471u);
}

TEST_F(EngineFiles, AModuleIsCheckedFromItsBytesAsTheyArriveOrElseFromTheFile) {
  std::string module(300000, '\0');
  for (size_t i = 0; i < module.size(); ++i) module[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  std::string changed = module;
  changed[123456] ^= 1;
  const std::wstring path = In("Velkor.dll");
  const int64_t size = static_cast<int64_t>(module.size());
  struct Case {
    const char* what;
    bool sign;           // the task carries the signed SHA-256 and size
    std::string before;  // what the file holds when the transfer starts
    int64_t from;        // where the transfer starts writing
    int64_t announced;   // the size the response announces (-1: none)
    std::string sent;    // the bytes the transfer writes from `from`
    bool seen, matches;
  };
  const std::string half = module.substr(0, 100000);
  const Case cases[] = {
      {"fresh, unsigned", false, "", 0, size, module, true, true},
      {"fresh, signed", true, "", 0, size, module, true, true},
      {"one byte changed", true, "", 0, size, changed, true, false},
      {"one byte changed, unsigned", false, "", 0, size, changed, true, false},
      {"resumed after a third", true, half, 100000, size, module.substr(100000), true, true},
      {"resumed, but the earlier bytes are another file's", false, changed.substr(0, 200000), 200000, size,
       module.substr(200000), true, false},
      {"no size announced, unsigned: the file decides", false, "", 0, -1, module, false, true},
      {"no size announced, signed: the signed size counts", true, "", 0, -1, module, true, true},
      {"more than the signed size", true, "", 0, size + 5, module + "extra", false, false},
  };
  for (const Case& c : cases) {
    DownloadTask task{1, "Velkor.dll", "Velkor.dll", Digest(module), {}, -1, {}, {}, {}};
    if (c.sign) {
      task.sha256 = Sha256OfBytes(module);
      task.size = size;
    }
    ASSERT_TRUE(WriteFileBytes(path, c.before));
    ArrivalCheck check(task, path);
    // Written and shown in uneven pieces, as a transfer does.
    std::string file = c.before;
    for (size_t at = 0, piece = 1; at < c.sent.size(); at += piece, piece = piece * 3 + 7) {
      const std::string bytes = c.sent.substr(at, piece);
      file += bytes;
      ASSERT_TRUE(WriteFileBytes(path, file));
      check.OnBytes(c.announced, c.from + static_cast<int64_t>(at), bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    const std::optional<bool> verdict = check.Verdict();
    EXPECT_EQ(verdict.has_value(), c.seen) << c.what;
    EXPECT_EQ(verdict.has_value() ? *verdict : FileMatchesTask(path, task), c.matches) << c.what;
  }
  // A file that starts over (the server sent the whole file after all).
  DownloadTask task{1, "Velkor.dll", "", Digest(module), {}, -1, {}, {}, {}};
  ArrivalCheck again(task, path);
  again.OnBytes(size, 0, changed.data(), 50000);
  again.OnBytes(size, 0, module.data(), static_cast<uint32_t>(module.size()));
  ASSERT_TRUE(WriteFileBytes(path, module));
  EXPECT_EQ(again.Verdict(), std::optional<bool>(true));
  // The file changed after its bytes were seen: the sizes differ, the file decides.
  ASSERT_TRUE(WriteFileBytes(path, module + "x"));
  EXPECT_EQ(again.Verdict(), std::nullopt);
  EXPECT_FALSE(FileMatchesTask(path, task));
  // Read from the file, all at once: the same answers.
  ASSERT_TRUE(WriteFileBytes(path, module));
  EXPECT_TRUE(FileMatchesTask(path, task));
  task.sha256 = Sha256OfBytes(module);
  task.size = size;
  EXPECT_TRUE(FileMatchesTask(path, task));
  task.size = size + 1;
  EXPECT_FALSE(FileMatchesTask(path, task));
  task.size = size;
  ASSERT_TRUE(WriteFileBytes(path, changed));
  EXPECT_FALSE(FileMatchesTask(path, task));
  EXPECT_FALSE(FileMatchesTask(In("absent.dll"), task));
}

TEST(Sha256, TheProcessorsInstructionsAgreeWithThePlatformAtEveryLengthAndCut) {
  // Known answers first (either way), then the two ways side by side.
  struct Known {
    std::string bytes, hex;
  };
  const Known known[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const Known& k : known)
    for (Sha256::Engine engine : {Sha256::Engine::Fastest, Sha256::Engine::Platform}) {
      Sha256 hash(engine);
      hash.Add(k.bytes.data(), k.bytes.size());
      EXPECT_EQ(hash.FinishHex(), k.hex) << k.bytes;
    }
  std::string data((1 << 20) + 77, '\0');
  uint32_t x = 12345;
  for (char& c : data) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 23);
  // Lengths around the block and the padding's edges; pieces of 1, 63, 64 and 1000 bytes.
  for (size_t length : {size_t{1}, size_t{55}, size_t{56}, size_t{63}, size_t{64}, size_t{65}, size_t{119},
                        size_t{120}, size_t{128}, size_t{1000}, data.size()})
    for (size_t piece : {size_t{1}, size_t{63}, size_t{64}, size_t{1000}}) {
      if (piece == 1 && length > 4096) continue;
      Sha256 fast, platform(Sha256::Engine::Platform);
      for (size_t at = 0; at < length; at += piece) fast.Add(data.data() + at, std::min(piece, length - at));
      platform.Add(data.data(), length);
      EXPECT_EQ(fast.FinishHex(), platform.FinishHex()) << length << " in pieces of " << piece;
    }
  if (!Sha256InstructionsAvailable()) std::printf("(this processor has no SHA extensions: both ways were the platform's)\n");
}

TEST(ParallelWork, EveryPieceRunsOnceAndWaitMeansDone) {
  for (int count : {0, 1, 3, 17, 200}) {
    std::vector<std::atomic<int>> runs(count);
    ParallelWork work;
    work.Start(count, [&](int i) {
      ::Sleep(i % 3);
      runs[i]++;
    });
    work.Wait();
    for (int i = 0; i < count; ++i) ASSERT_EQ(runs[i].load(), 1) << "piece " << i << " of " << count;
  }
  // The same without a separate start, and a second Wait that finds nothing to do.
  std::vector<int> squares(50);
  RunInParallel(50, [&](int i) { squares[i] = i * i; });
  for (int i = 0; i < 50; ++i) EXPECT_EQ(squares[i], i * i);
}

// One lock per folder however it is spelled: its 8.3 name, another case, a
// trailing separator; and in the namespace every user of the machine shares.
TEST_F(EngineFiles, OneFolderLockForEverySpellingOfTheFolder) {
  const std::wstring folder = In("A long folder name for the lock\\");
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  wchar_t shortName[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW(folder.c_str(), shortName, MAX_PATH), 0u);
  std::wstring upper = folder;
  ::CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
  const std::wstring spellings[] = {shortName, upper, folder.substr(0, folder.size() - 1)};
  ASSERT_NE(spellings[0], folder);
  EXPECT_EQ(FolderLockName(folder).rfind("Global\\Velnoria.Updater.", 0), 0u) << FolderLockName(folder);
  for (const std::wstring& spelling : spellings) EXPECT_EQ(FolderLockName(spelling), FolderLockName(folder));
  EXPECT_NE(FolderLockName(In("another")), FolderLockName(folder));
  {
    const FolderLock first(folder);
    ASSERT_TRUE(first.Held());
    for (const std::wstring& spelling : spellings) {
      // Taken from another thread: a mutex is its owning thread's again.
      bool held = true;
      fw::Thread other = fw::Thread::Start([&] { held = FolderLock(spelling).Held(); });
      other.Join();
      EXPECT_FALSE(held) << fw::Utf8(spelling);
    }
  }
  bool held = false;
  fw::Thread after = fw::Thread::Start([&] { held = FolderLock(spellings[0]).Held(); });
  after.Join();
  EXPECT_TRUE(held);  // free again once the first has gone
}

TEST_F(EngineFiles, DeletePathStaysInsideTheInstallFolder) {
  const std::string outside = MakeTempFolder("outside");
  WriteFileBytes(outside + "keep.txt", "x");
  EXPECT_FALSE(DeletePath(W(outside + "keep.txt"), folder_));
  EXPECT_FALSE(DeletePath(L"", folder_));
  EXPECT_FALSE(DeletePath(folder_, folder_));
  EXPECT_FALSE(DeletePath(folder_ + W("sub\\..\\..\\" + outside.substr(outside.rfind('\\', outside.size() - 2) + 1)),
                         folder_));
  EXPECT_TRUE(FileExists(outside + "keep.txt"));
  RemoveTree(outside);

  ::CreateDirectoryW(In("tree").c_str(), nullptr);
  ::CreateDirectoryW(In("tree\\deep").c_str(), nullptr);
  WriteFileBytes(In("tree\\deep\\f.bin"), "f");
  EXPECT_TRUE(DeletePath(In("tree\\\\\\"), folder_));  // all trailing separators go
  EXPECT_FALSE(FileExists(In("tree")));
  EXPECT_FALSE(DeletePath(In("tree"), folder_));  // missing: the shell says no
  WriteFileBytes(In("single.del"), "d");
  EXPECT_TRUE(DeletePath(In("single.del"), folder_));
  EXPECT_FALSE(FileExists(In("single.del")));
}

TEST_F(EngineFiles, InstallUnlockedAndHeldModules) {
  WriteFileBytes(In("Velkor.dll"), "velkor old");
  WriteFileBytes(In("Drimsa.dll"), "drimsa old");
  WriteFileBytes(In("Drimsa.dll.del"), "stale from an earlier update");
  const std::vector<DownloadTask> tasks = QueueAndStage({{"Velkor.dll", "velkor new"}, {"Drimsa.dll", "drimsa new"}});
  ASSERT_EQ(tasks.size(), 2u);
  EXPECT_TRUE(Install(tasks));
  EXPECT_EQ(ReadFileBytes(In("Velkor.dll")), "velkor new");
  EXPECT_EQ(ReadFileBytes(In("Drimsa.dll")), "drimsa new");
  EXPECT_FALSE(FileExists(In("Velkor.dll.del")));
  EXPECT_FALSE(FileExists(In("UpgradeBackup_P")));
  EXPECT_TRUE(pending_.empty());

  // A module another process holds open without sharing cannot be replaced
  // or moved. After a bounded wait the modules already swapped go back: the
  // product keeps one whole release, and every staged file stays.
  WriteFileBytes(In("Tobrin.dll"), "tobrin old");
  WriteFileBytes(In("Lumsk.dll"), "lumsk old");
  const std::vector<DownloadTask> held =
      QueueAndStage({{"Lumsk.dll", "lumsk new"}, {"Tobrin.dll", "tobrin new"}, {"Wendra.dll", "wendra new"}});
  Process holder = HoldOpen(fw::Utf8(In("Tobrin.dll")));
  const DWORD started = ::GetTickCount();
  EXPECT_FALSE(Install(held));
  const DWORD waited = ::GetTickCount() - started;
  ::TerminateProcess(holder.handle.get(), 0);
  WaitForExit(holder, 5000);
  EXPECT_GE(waited, kInstallLockWaitMs - 100);
  EXPECT_LT(waited, kInstallLockWaitMs + 3000);
  EXPECT_EQ(ReadFileBytes(In("Tobrin.dll")), "tobrin old");
  EXPECT_EQ(ReadFileBytes(In("Lumsk.dll")), "lumsk old");
  EXPECT_FALSE(FileExists(In("Wendra.dll")));
  for (const char* name : {"Lumsk.dll", "Tobrin.dll", "Wendra.dll"})
    EXPECT_TRUE(FileExists(In(std::string("UpgradeBackup_P\\") + name + ".tmp"))) << name;
  EXPECT_FALSE(FileExists(In("Tobrin.dll.del")));
  EXPECT_FALSE(FileExists(In("Lumsk.dll.del")));

  // Freed, the next attempt installs the whole release.
  EXPECT_TRUE(Install(held));
  EXPECT_EQ(ReadFileBytes(In("Tobrin.dll")), "tobrin new");
  EXPECT_EQ(ReadFileBytes(In("Lumsk.dll")), "lumsk new");
  EXPECT_EQ(ReadFileBytes(In("Wendra.dll")), "wendra new");
  EXPECT_FALSE(FileExists(In("UpgradeBackup_P")));
}

TEST_F(EngineFiles, AStagedModuleThatChangedSinceItsCheckInstallsNothing) {
  WriteFileBytes(In("Velkor.dll"), "velkor old");
  WriteFileBytes(In("Drimsa.dll"), "drimsa old");
  const std::vector<DownloadTask> tasks = QueueAndStage({{"Velkor.dll", "velkor new"}, {"Drimsa.dll", "drimsa new"}});
  WriteFileBytes(In("UpgradeBackup_P\\Drimsa.dll.tmp"), "drimsa tampered");
  EXPECT_FALSE(Install(tasks));
  EXPECT_EQ(ReadFileBytes(In("Velkor.dll")), "velkor old");
  EXPECT_EQ(ReadFileBytes(In("Drimsa.dll")), "drimsa old");
  EXPECT_FALSE(FileExists(In("UpgradeBackup_P\\Drimsa.dll.tmp")));  // never kept
}

TEST_F(EngineFiles, FailingSecondCopyPutsTheOldModuleBack) {
  WriteFileBytes(In("Wendra.dll"), "wendra old");
  const std::vector<DownloadTask> tasks = QueueAndStage({{"Wendra.dll", "wendra new"}});
  // The staged file cannot be read: both copies fail after the module was moved aside.
  Process holder = HoldOpen(fw::Utf8(In("UpgradeBackup_P\\Wendra.dll.tmp")));
  Install(tasks);
  ::TerminateProcess(holder.handle.get(), 0);
  WaitForExit(holder, 5000);
  EXPECT_EQ(ReadFileBytes(In("Wendra.dll")), "wendra old");
  EXPECT_FALSE(FileExists(In("Wendra.dll.del")));
  EXPECT_TRUE(FileExists(In("UpgradeBackup_P\\Wendra.dll.tmp")));
}

// Watches one path and records every size it is seen with (-1: missing),
// until told to stop.
struct SizeWatch {
  std::wstring path;
  volatile LONG stop = 0;
  std::set<int64_t> seen;
  static DWORD WINAPI Run(void* p) {
    auto* self = static_cast<SizeWatch*>(p);
    while (!self->stop) {
      WIN32_FILE_ATTRIBUTE_DATA a{};
      self->seen.insert(::GetFileAttributesExW(self->path.c_str(), GetFileExInfoStandard, &a)
                            ? (static_cast<int64_t>(a.nFileSizeHigh) << 32) | a.nFileSizeLow
                            : -1);
    }
    return 0;
  }
};

TEST_F(EngineFiles, NoOneEverSeesAPartlyInstalledModule) {
  // Whatever moment the updater is stopped at, a module is its old or its
  // new file: the swap is a rename, never a write into the installed file.
  const std::string old(1000, 'o'), fresh(48 << 20, 'n');
  for (const bool locked : {false, true}) {
    SCOPED_TRACE(locked ? "held module" : "free module");
    WriteFileBytes(In("Velkor.dll"), old);
    const std::vector<DownloadTask> tasks = QueueAndStage({{"Velkor.dll", fresh}});
    HMODULE loaded = nullptr;
    if (locked) {
      // Mapped as an image: it can be moved aside but not replaced.
      ASSERT_TRUE(::CopyFileW(W(ProgramDirectory() + "Fetchkit.dll").c_str(), In("Velkor.dll").c_str(), FALSE));
      loaded = ::LoadLibraryExW(In("Velkor.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
      ASSERT_NE(loaded, nullptr);
    }
    const int64_t oldSize = static_cast<int64_t>(ReadFileBytes(In("Velkor.dll")).size());
    SizeWatch watch;
    watch.path = In("Velkor.dll");
    HANDLE watcher = ::CreateThread(nullptr, 0, &SizeWatch::Run, &watch, 0, nullptr);
    ::Sleep(20);
    Install(tasks);
    ::Sleep(20);
    watch.stop = 1;
    ::WaitForSingleObject(watcher, 5000);
    ::CloseHandle(watcher);
    if (loaded) ::FreeLibrary(loaded);
    int partial = 0;
    for (int64_t size : watch.seen)
      // A module another program has loaded goes in by the platform's
      // replacement, whose two renames the journal covers.
      if (size != oldSize && size != static_cast<int64_t>(fresh.size()) && !(locked && size == -1)) ++partial;
    EXPECT_EQ(partial, 0) << "sizes seen other than the old and the new one";
    EXPECT_TRUE(ReadFileBytes(In("Velkor.dll")) == fresh);
    EXPECT_FALSE(FileExists(In("UpgradeBackup_P")));
    for (const std::wstring& path : pending_) DeletePath(path, folder_);
    pending_.clear();
  }
}

TEST_F(EngineFiles, LoadedLibraryIsMovedAsideAndRemovedByTheFinishTimer) {
  // A copy of the download library that this process has loaded, as the
  // updater has its own Fetchkit.dll loaded.
  const std::wstring dll = In("Fetchkit.dll");
  ASSERT_TRUE(::CopyFileW(W(ProgramDirectory() + "Fetchkit.dll").c_str(), dll.c_str(), FALSE));
  const std::string old = ReadFileBytes(dll);
  WriteFileBytes(In("Fetchkit.dll.del"), "stale from an earlier update");
  HMODULE loaded = ::LoadLibraryExW(dll.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(loaded, nullptr);

  // The finish on its own thread: no product runs, so it installs at once.
  EngineStandIn view(Settings());
  const std::vector<DownloadTask> tasks = QueueAndStage({{"Fetchkit.dll", old + "new build"}});
  view.engine.TakeCheckedTasks(tasks);
  view.engine.OnDownloadFinished(0);
  ASSERT_EQ(view.engine.State(), UpdateState::Succeeded);
  view.engine.FinishUpdate();
  ASSERT_TRUE(view.PumpUntil([&] { return !view.engine.Finishing(); }, 30000));
  EXPECT_EQ(ReadFileBytes(dll), old + "new build");
  ASSERT_EQ(view.engine.PendingDeletes().size(), 1u);
  EXPECT_EQ(view.engine.PendingDeletes()[0], dll + L".del");
  EXPECT_EQ(ReadFileBytes(dll + L".del"), old);  // the stale file did not stop the move
  ::FreeLibrary(loaded);

  // The finish timer deletes what is pending and ends the window with OK.
  ASSERT_TRUE(view.PumpUntil([&] { return view.shown.back() == "close: finished"; }, 10000));
  EXPECT_EQ(view.shown, (std::vector<std::string>{"success", "hide", "close: finished"}));
  EXPECT_FALSE(FileExists(dll + L".del"));
}

TEST_F(EngineFiles, InterruptedInstallationIsRepaired) {
  // Killed between moving a module aside and copying the new one in.
  WriteFileBytes(In("Velkor.dll.del"), "velkor old");
  WriteFileBytes(In("Drimsa.dll"), "drimsa current");
  WriteFileBytes(In("Drimsa.dll.del"), "drimsa older");
  RestoreSetAsideModules(folder_);
  EXPECT_EQ(ReadFileBytes(In("Velkor.dll")), "velkor old");
  EXPECT_FALSE(FileExists(In("Velkor.dll.del")));
  EXPECT_EQ(ReadFileBytes(In("Drimsa.dll")), "drimsa current");  // a module that is there stays
}

TEST_F(EngineFiles, InterruptedInstallationIsRepairedFromANumberedSetAsideName) {
  // The plain set-aside name was held by an older copy, so the module went
  // aside under a numbered one; the newest copy is the module's version.
  auto writeAt = [&](const char* name, const char* bytes, WORD year) {
    WriteFileBytes(In(name), bytes);
    SYSTEMTIME st{year, 1, 0, 1, 12, 0, 0, 0};
    FILETIME ft{};
    ::SystemTimeToFileTime(&st, &ft);
    fw::ScopedHandle file(::CreateFileW(In(name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &ft));
  };
  writeAt("Tobrin.dll.del", "tobrin two updates ago", 2024);
  writeAt("Tobrin.dll.1.del", "tobrin old", 2026);
  writeAt("Tobrin.dll.2.del", "tobrin three updates ago", 2023);
  RestoreSetAsideModules(folder_);
  EXPECT_EQ(ReadFileBytes(In("Tobrin.dll")), "tobrin old");
  EXPECT_FALSE(FileExists(In("Tobrin.dll.1.del")));
}

TEST_F(EngineFiles, LaunchProgramByEnding) {
  const std::wstring product = In("Velnoria.exe");
  ASSERT_TRUE(::CopyFileW(W(g_sampleProduct).c_str(), product.c_str(), FALSE));
  HANDLE process = nullptr;
  // From a thread of its own, as the finish relaunches: it leaves the thread's apartment as it found it.
  fw::Thread::Start([&] {
    EXPECT_TRUE(LaunchProgram(product, &process, L"--lifetime 200"));
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    ::CoUninitialize();
  }).Join(10000);
  ASSERT_NE(process, nullptr);
  EXPECT_EQ(::WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  ::CloseHandle(process);
  EXPECT_NE(ReadFileBytes(In("product.log")).find("start"), std::string::npos);

  // ".dat" that cannot start directly: copied to an ".exe" twin, handed to the shell.
  WriteFileBytes(In("notes.dat"), "not a program");
  EXPECT_FALSE(LaunchProgram(In("notes.dat"), &process, L""));
  EXPECT_EQ(ReadFileBytes(In("notes.exe")), "not a program");
  // ".download" that cannot start: the same path to the shell, no copy.
  WriteFileBytes(In("setup.download"), "not a program");
  EXPECT_FALSE(LaunchProgram(In("setup.download"), &process, L""));
  EXPECT_FALSE(FileExists(In("setup.exe")));
  // A ".dat" that is a program starts directly, without a twin. Its command
  // line is the parameter string alone, so the first word plays the program name.
  ASSERT_TRUE(::CopyFileW(W(g_sampleProduct).c_str(), In("tool.dat").c_str(), FALSE));
  ASSERT_TRUE(LaunchProgram(In("tool.dat"), &process, L"tool --lifetime 200"));
  EXPECT_EQ(::WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  ::TerminateProcess(process, 1);
  ::CloseHandle(process);
  EXPECT_FALSE(FileExists(In("tool.exe")));
}

TEST_F(EngineFiles, ProductExitEventAcrossProcesses) {
  EXPECT_FALSE(RequestProductExit("*_KELMO_EXIT_*"));  // no product: no event
  const std::wstring product = In("Velnoria.exe");
  ASSERT_TRUE(::CopyFileW(W(g_sampleProduct).c_str(), product.c_str(), FALSE));
  Process running = StartProcess(fw::Utf8(product), "--lifetime 20000");
  ASSERT_TRUE(running.handle);
  // The product creates its event shortly after it starts. The event is
  // auto-reset and shared by every product instance, so another one may take
  // a request: ask until this one has exited.
  bool requested = false;
  DWORD code = STILL_ACTIVE;
  for (int i = 0; i < 100 && code == STILL_ACTIVE; ++i) {
    requested = RequestProductExit("*_KELMO_EXIT_*") || requested;
    code = WaitForExit(running, 100);
  }
  EXPECT_TRUE(requested);
  EXPECT_EQ(code, 0u);
  EXPECT_NE(ReadFileBytes(In("product.log")).find("exit-request"), std::string::npos);
}

// Last: the finish opens the product-exit event, and this process keeps it
// open for the rest of its life (the event then exists for every later test).
TEST_F(EngineFiles, TheFinishRunsOffTheWindowsThreadAndHoldsACloseUntilItHasReported) {
  WriteFileBytes(In("Velkor.dll"), "velkor old");
  ASSERT_TRUE(::CopyFileW(W(g_sampleProduct).c_str(), In("Velnoria.exe").c_str(), FALSE));
  // A product that takes a while to exit once asked.
  Process product = StartProcess(fw::Utf8(In("Velnoria.exe")), "--exit-delay 1500 --lifetime 30000");
  ASSERT_TRUE(WaitUntil([&] { return ReadFileBytes(In("product.log")).find("listening") != std::string::npos; }, 10000));
  EngineStandIn view(Settings(product.handle.get()));
  view.engine.TakeCheckedTasks(QueueAndStage({{"Velkor.dll", "velkor new"}}));
  view.engine.OnDownloadFinished(0);
  view.engine.FinishUpdate();
  // Back at once, with the product still running: the finish waits on its own thread.
  EXPECT_EQ(WaitForExit(product, 0), STILL_ACTIVE);
  EXPECT_TRUE(view.engine.Finishing());
  EXPECT_FALSE(view.engine.MayClose());  // held
  view.engine.OnUpdaterExit();           // held too
  EXPECT_EQ(view.shown, (std::vector<std::string>{"success", "hide"}));
  ASSERT_TRUE(view.PumpUntil([&] { return view.shown.size() >= 3; }, 40000));
  // The product had ended before anything was installed; the close came before the timer.
  EXPECT_NE(WaitForExit(product, 0), STILL_ACTIVE);
  EXPECT_EQ(ReadFileBytes(In("Velkor.dll")), "velkor new");
  EXPECT_EQ(view.shown, (std::vector<std::string>{"success", "hide", "close: requested"}));
  view.PumpUntil([] { return false; }, 1500);
  EXPECT_EQ(view.shown.size(), 3u) << "one close only";
  AskProductsToExit();
  EndProcessesIn(fw::Utf8(folder_));
}

int main(int argc, char** argv) {
  // Helper role: hold a file open without sharing until killed.
  if (argc == 3 && std::string(argv[1]) == "--hold") {
    HANDLE h = ::CreateFileA(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ::Sleep(h == INVALID_HANDLE_VALUE ? 0 : 60000);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: engine_tests PATH_OF_SampleProduct.exe\n");
    return 2;
  }
  g_sampleProduct = WindowsPath(argv[1]);
  ::LoadLibraryW(L"riched20.dll");  // the update window's notes box
  return RUN_ALL_TESTS();
}
