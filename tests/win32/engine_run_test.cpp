// The engine's run logic through its interface, with a stand-in for the
// window: accounting, retries, what is shown when, what mode 3 does at the
// end, and threads that outlive the engine.
#include <gtest/gtest.h>

#include <winsock2.h>

#include "EngineStandIn.h"
#include "engine/release/ManifestCheck.h"
#include "engine/release/ModuleDigest.h"
#include "TestSupport.h"
#include "framework/Thread.h"

using namespace testing_support;

namespace {

// Nothing listens on the discard port of loopback: every fetch fails at once.
constexpr char kDeadServer[] = "http://127.0.0.1:9/r/";

class EngineRun : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTempFolder("run"); }
  void TearDown() override { RemoveTree(folder_); }
  EngineSettings Settings(int mode, const std::string& server = kDeadServer) const {
    return EngineSettings{mode, server, W(folder_), nullptr, {}, PROGRESS_PRESENT_INTERVAL_MS, {}};
  }
  // Tasks whose modules are the one-byte file "m".
  static std::vector<DownloadTask> Tasks(int n) {
    const std::string digest = ModuleDigestOfBytes(reinterpret_cast<const uint8_t*>("m"), 1, kModuleDigestKey);
    std::vector<DownloadTask> tasks;
    for (int i = 0; i < n; ++i)
      tasks.push_back({kModuleCatalogue[i].messageId, kModuleCatalogue[i].LocalName(), "u", digest, {}, -1, {}, {}, {}});
    return tasks;
  }
  std::string Marker() const {
    char value[8] = {};
    ::GetPrivateProfileStringA("SUpgrade", "Key", "", value, sizeof value,
                               (folder_ + "UpgradeBackup\\mvt_s.backup").c_str());
    return value;
  }
  std::string folder_;
};

using Shown = std::vector<std::string>;

// A listening socket on a free loopback port, and the server base that names it.
struct Listener {
  Listener() {
    WSADATA wsa;
    started = ::WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(socket, 32) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return;
    base = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/r/";
  }
  ~Listener() {
    Close();
    if (started) ::WSACleanup();
  }
  bool ok() const { return started && !base.empty(); }
  void Close() const {
    if (socket != INVALID_SOCKET) ::closesocket(socket);
    socket = INVALID_SOCKET;
  }
  bool started = false;
  mutable SOCKET socket = INVALID_SOCKET;
  std::string base;
};

}  // namespace

TEST_F(EngineRun, AllResultsOfARunDecideItAtOnce) {
  struct Case {
    int mode;
    Shown shown;
    std::string marker;
  } cases[] = {{1, {"success"}, ""}, {2, {"success"}, ""}, {3, {"close: over"}, "1"}, {7, {"success"}, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode));
    EngineStandIn view(Settings(c.mode));
    // As the workers leave them: every module verified under its name.
    ::CreateDirectoryA((folder_ + "UpgradeBackup").c_str(), nullptr);
    for (const DownloadTask& t : Tasks(3)) WriteFileBytes(folder_ + "UpgradeBackup\\" + t.localFileName, "m");
    view.engine.TakeCheckedTasks(Tasks(3));
    view.engine.OnDownloadFinished(0);
    view.engine.OnDownloadFinished(1);  // "already complete" counts as fetched
    EXPECT_TRUE(view.shown.empty());
    view.engine.OnDownloadFinished(0);
    EXPECT_EQ(view.shown, c.shown);
    EXPECT_EQ(view.engine.State(), UpdateState::Succeeded);
    EXPECT_EQ(Marker(), c.marker);
    RemoveTree(folder_ + "UpgradeBackup");
  }
}

TEST_F(EngineRun, TheMarkerPromisesAWholeSet) {
  // A stale marker from an earlier run goes with the run's check; a module
  // missing from the folder keeps it from coming back.
  ::CreateDirectoryA((folder_ + "UpgradeBackup").c_str(), nullptr);
  ::WritePrivateProfileStringA("SUpgrade", "Key", "1", (folder_ + "UpgradeBackup\\mvt_s.backup").c_str());
  EngineStandIn view(Settings(3));
  view.engine.StartUpdate(KeepPartial::No);
  const std::weak_ptr<ManifestCheck> check = view.engine.CurrentCheck();
  view.DestroyEngine();
  EXPECT_TRUE(WaitUntil([&] { return check.expired(); }, 30000));  // its check ends before the folder goes
  EXPECT_EQ(Marker(), "");
  EngineStandIn second(Settings(3));
  second.engine.TakeCheckedTasks(Tasks(2));
  WriteFileBytes(folder_ + "UpgradeBackup\\" + Tasks(2)[0].localFileName, "m");
  second.engine.OnDownloadFinished(0);
  second.engine.OnDownloadFinished(0);
  EXPECT_EQ(second.shown, Shown{"close: over"});
  EXPECT_EQ(Marker(), "");
}

TEST_F(EngineRun, AFailedRunIsRetriedKeepingFilesThenShownAsFailed) {
  EngineStandIn view(Settings(1));
  view.engine.TakeCheckedTasks(Tasks(3));
  view.engine.OnDownloadFinished(0);
  view.engine.OnDownloadFinished(1007);
  view.engine.OnDownloadFinished(0);
  // A retry started: nothing new on screen, partial files kept.
  EXPECT_TRUE(view.shown.empty());
  EXPECT_EQ(view.engine.State(), UpdateState::Running);
  EXPECT_EQ(view.engine.Keep(), KeepPartial::Yes);
  EXPECT_EQ(view.engine.RunCount(), 1);
  // The retries meet a dead server: after the fourth run the failure shows once.
  ASSERT_TRUE(view.PumpUntil([&] { return !view.shown.empty(); }, 60000));
  EXPECT_EQ(view.shown, Shown{"failure"});
  EXPECT_EQ(view.engine.RunCount(), 4);
  EXPECT_EQ(view.engine.State(), UpdateState::Failed);
}

TEST_F(EngineRun, WithoutManifestFourRunsFailThenOneMoreStartIsFinal) {
  for (const int mode : {1, 3}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    EngineStandIn view(Settings(mode));
    view.engine.StartUpdate(KeepPartial::No);
    EXPECT_EQ(view.engine.Keep(), KeepPartial::No);
    ASSERT_TRUE(view.PumpUntil([&] { return !view.shown.empty(); }, 60000));
    EXPECT_EQ(view.shown, Shown{mode == 3 ? "close: over" : "failure"});
    EXPECT_EQ(view.engine.RunCount(), 4);
    EXPECT_EQ(Marker(), "");
    if (mode == 3) continue;
    view.engine.StartUpdate(KeepPartial::No);
    ASSERT_TRUE(view.PumpUntil([&] { return view.shown.size() == 2; }, 30000));
    EXPECT_EQ(view.engine.RunCount(), 5);
    EXPECT_EQ(view.engine.State(), UpdateState::Failed);
  }
}

TEST_F(EngineRun, AManifestResultOfAnotherRunIsIgnored) {
  EngineStandIn view(Settings(1));
  view.engine.TakeCheckedTasks(Tasks(2));
  view.engine.OnManifestChecked(kCheckFailed, 99);
  view.engine.OnManifestChecked(kCheckDone, 0);
  EXPECT_TRUE(view.shown.empty());
  EXPECT_EQ(view.engine.Tasks().size(), 2u);
}

TEST_F(EngineRun, ProgressIsCountedOncePerRunAndShownThroughTheView) {
  EngineStandIn view(Settings(1));
  view.engine.TakeCheckedTasks(Tasks(2));
  // As the download library sends them: total size (0: not yet known), received.
  view.engine.OnModuleProgress(0, 1000, 100);
  view.engine.OnModuleProgress(1, 0, 50);
  ASSERT_EQ(view.progress.size(), 1u);  // a report without a size shows nothing
  EXPECT_FALSE(view.progress[0].full);
  view.engine.OnModuleProgress(1, 3000, 500);
  ASSERT_EQ(view.progress.size(), 2u);
  EXPECT_TRUE(view.progress[1].full);
  EXPECT_EQ(view.progress[1].position, 15);  // 600 of 4000 bytes
  EXPECT_EQ(view.progress[1].totalKilobytes, 3u);
}

TEST_F(EngineRun, AModuleThatAnnouncedItsSizeAndFailedCountsOnce) {
  EngineStandIn view(Settings(1));
  const std::vector<DownloadTask> tasks = Tasks(3);
  view.engine.TakeCheckedTasks(tasks);
  auto report = [&](int i, uint32_t received, uint32_t size) {
    view.engine.OnModuleProgress(CatalogueIndexOfMessage(tasks[i].messageId), size, received);
  };
  report(0, 100000, 1 << 20);
  view.engine.OnDownloadFinished(1008, tasks[0].messageId);  // A announced, then failed
  const size_t before = view.progress.size();
  report(1, 7000, 76000);
  EXPECT_EQ(view.progress.size(), before) << "a percentage over an incomplete total";
  report(2, 1000, 5 << 20);
  ASSERT_GT(view.progress.size(), before);
  EXPECT_TRUE(view.progress.back().full);
  EXPECT_EQ(view.progress.back().totalKilobytes, ((1u << 20) + 76000u + (5u << 20)) >> 10);
}

TEST_F(EngineRun, ProgressThatOvertakesTheCheckIsCountedAgainstTheRunsTasks) {
  // A loopback server that answers every request with a manifest listing all
  // seventeen modules, none of them installed here.
  const Listener listener;
  ASSERT_TRUE(listener.ok());
  std::string manifest = "[ModuleVersion]\r\n";
  for (const ModuleEntry& row : kModuleCatalogue) manifest += std::string(row.baseName) + "=" + Tasks(1)[0].expectedDigest + "\r\n";
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(manifest.size()) +
                             "\r\nConnection: close\r\n\r\n" + manifest;
  fw::Thread server = fw::Thread::Start([&answer, socket = listener.socket] {
    for (SOCKET c; (c = ::accept(socket, nullptr, nullptr)) != INVALID_SOCKET; ::closesocket(c)) {
      char request[4096];
      ::recv(c, request, sizeof request, 0);
      ::send(c, answer.data(), static_cast<int>(answer.size()), 0);
    }
  });
  EngineStandIn view(Settings(1, listener.base));
  view.engine.StartUpdate(KeepPartial::No);
  const std::shared_ptr<ManifestCheck> check = view.engine.CurrentCheck().lock();
  ASSERT_TRUE(check);
  // The check is done, its result still posted and not yet taken, when a
  // worker's first report is sent.
  ASSERT_TRUE(WaitUntil([&] { return check->TasksComplete(); }, 30000));
  view.engine.OnModuleProgress(0, 1000, 100);
  EXPECT_EQ(view.engine.Tasks().size(), 17u);
  for (const auto& p : view.progress) EXPECT_FALSE(p.full) << "a full bar over one module of seventeen";
  view.DestroyEngine();
  listener.Close();
  server.Join(5000);
}

TEST_F(EngineRun, AManifestCheckOutlivesTheEngineThatStartedIt) {
  // A server that takes the connection and never answers holds the check.
  const Listener listener;
  ASSERT_TRUE(listener.ok());
  EngineStandIn view(Settings(1, listener.base));
  view.engine.StartUpdate(KeepPartial::No);
  const std::weak_ptr<ManifestCheck> check = view.engine.CurrentCheck();
  ::Sleep(300);
  view.DestroyEngine();  // as when the window closes during the check
  listener.Close();
  // The check runs to its end on what it owns, then lets it go.
  EXPECT_TRUE(WaitUntil([&] { return check.expired(); }, 45000));
}
