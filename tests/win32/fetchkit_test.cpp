// Fetchkit.dll against the fault-injecting test server.
#include <gtest/gtest.h>

#include <windows.h>
#include <process.h>
#include <wincrypt.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "fetchkit/HttpDownload.h"

using namespace testing_support;

namespace {

std::string g_serverState;
std::string g_tlsServerState;

class Fetchkit : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TestServer>(g_serverState);
    ASSERT_TRUE(server_->ok());
    server_->SetFaults("{}");
    dir_ = MakeTempFolder("fetchkit");
  }
  void TearDown() override {
    server_->SetFaults("{}");
    RemoveTree(dir_);
  }
  unsigned Fetch(const std::string& name, const std::string& local, int connectMs = -1, int inactivityMs = -1) {
    std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
    if (!d) return 3;
    d->SetTimeouts(connectMs, inactivityMs);
    return d->Download(server_->Url(name).c_str(), (dir_ + local).c_str(), 0);
  }
  // Leaves the first `kept` bytes of `name` at `local`, with the validator of
  // the response that began it, as a cut transfer does.
  void CutFetch(const std::string& name, const std::string& local, size_t kept) {
    server_->SetFaults("{\"/" + name + "\": {\"cut_after\": " + std::to_string(kept) + ", \"times\": 1}}");
    EXPECT_EQ(Fetch(name, local), FK_INCOMPLETE);
    EXPECT_TRUE(FileExists(dir_ + local + ".fkv"));
    server_->SetFaults("{}");
  }
  std::unique_ptr<TestServer> server_;
  std::string dir_;
};

}  // namespace

TEST_F(Fetchkit, PlainFetchIsByteIdentical) {
  const std::string body = RandomBytes(300 * 1024 + 17, 1);
  server_->Put("plain.bin", body);
  EXPECT_EQ(Fetch("plain.bin", "plain.bin"), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "plain.bin"), body);
  // An empty file is a file too.
  server_->Put("empty.bin", "");
  EXPECT_EQ(Fetch("empty.bin", "empty.bin"), FK_OK);
  EXPECT_TRUE(FileExists(dir_ + "empty.bin"));
  EXPECT_EQ(ReadFileBytes(dir_ + "empty.bin"), "");
}

TEST_F(Fetchkit, ErrorStatusesLeaveNoErrorPage) {
  server_->Put("status.bin", RandomBytes(5000, 2));
  for (int status : {404, 403, 500, 503}) {
    server_->SetFaults("{\"/status.bin\": {\"status\": " + std::to_string(status) + "}}");
    EXPECT_EQ(Fetch("status.bin", "status.bin"), FK_HTTP_STATUS_BASE + status);
    EXPECT_FALSE(FileExists(dir_ + "status.bin")) << status;
  }
  EXPECT_EQ(Fetch("never-published.bin", "missing.bin"), FK_HTTP_STATUS_BASE + 404);
  EXPECT_FALSE(FileExists(dir_ + "missing.bin"));
  // A partial file of an earlier run stays as it was for a later resume.
  WriteFileBytes(dir_ + "kept.bin", "partial");
  EXPECT_EQ(Fetch("never-published.bin", "kept.bin"), FK_HTTP_STATUS_BASE + 404);
  EXPECT_EQ(ReadFileBytes(dir_ + "kept.bin"), "partial");
}

TEST_F(Fetchkit, BrokenTransfersFailAndKeepWhatArrived) {
  const std::string body = RandomBytes(400 * 1024, 3);
  server_->Put("fault.bin", body);
  struct Case {
    const char* fault;
    unsigned code;
    size_t kept;
  };
  const Case cases[] = {
      {"{\"cut_after\": 100000}", FK_INCOMPLETE, 100000},
      {"{\"drop_after\": 150000}", FK_CONNECTION_LOST, 150000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    ::DeleteFileA((dir_ + "fault.bin").c_str());
    server_->SetFaults(std::string("{\"/fault.bin\": ") + c.fault + "}");
    const unsigned code = Fetch("fault.bin", "fault.bin");
    // A reset can arrive before or after the last bytes were read.
    if (c.code == FK_CONNECTION_LOST)
      EXPECT_TRUE(code == FK_CONNECTION_LOST || code == FK_INCOMPLETE) << code;
    else
      EXPECT_EQ(code, c.code);
    const std::string kept = ReadFileBytes(dir_ + "fault.bin");
    EXPECT_LE(kept.size(), c.kept);
    EXPECT_EQ(kept, body.substr(0, kept.size()));
  }
}

TEST_F(Fetchkit, DeadAndStalledServersTimeOut) {
  server_->Put("stall.bin", RandomBytes(200 * 1024, 4));
  server_->SetFaults("{\"/stall.bin\": {\"stall_after\": 50000, \"stall_seconds\": 30}}");
  DWORD start = ::GetTickCount();
  EXPECT_EQ(Fetch("stall.bin", "stall.bin", 2000, 1500), FK_TIMED_OUT);
  EXPECT_LT(::GetTickCount() - start, 10000u);

  server_->SetFaults("{\"/stall.bin\": {\"delay\": 30}}");
  start = ::GetTickCount();
  EXPECT_EQ(Fetch("stall.bin", "silent.bin", 2000, 1500), FK_TIMED_OUT);
  EXPECT_LT(::GetTickCount() - start, 10000u);
  EXPECT_FALSE(FileExists(dir_ + "silent.bin"));

  // Nothing listens on port 9 of the loopback.
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  start = ::GetTickCount();
  EXPECT_EQ(d->Download("http://127.0.0.1:9/x.bin", (dir_ + "refused.bin").c_str(), 0), FK_CONNECT_FAILED);
  EXPECT_LT(::GetTickCount() - start, 10000u);
}

TEST_F(Fetchkit, SlowButMovingTransfersAreNotCutOff) {
  const std::string body = RandomBytes(240 * 1024, 5);
  server_->Put("slow.bin", body);
  // About 2.4 s at 100 KB/s, with an inactivity limit of 1 s.
  server_->SetFaults("{\"/slow.bin\": {\"rate\": 102400}}");
  EXPECT_EQ(Fetch("slow.bin", "slow.bin", 2000, 1000), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "slow.bin"), body);
}

TEST_F(Fetchkit, BodyWithoutLengthEndsWithTheConnection) {
  const std::string body = RandomBytes(123457, 6);
  server_->Put("nolength.bin", body);
  server_->SetFaults("{\"/nolength.bin\": {\"no_length\": true}}");
  EXPECT_EQ(Fetch("nolength.bin", "nolength.bin"), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "nolength.bin"), body);
}

TEST_F(Fetchkit, ResumeAfterACutEndsByteIdentical) {
  const std::string body = RandomBytes(500 * 1024 + 3, 7);
  server_->Put("resume.bin", body);
  server_->ClearLog();
  server_->SetFaults("{\"/resume.bin\": {\"cut_after\": 200000, \"times\": 1}}");
  EXPECT_EQ(Fetch("resume.bin", "resume.bin"), FK_INCOMPLETE);
  const size_t kept = ReadFileBytes(dir_ + "resume.bin").size();
  ASSERT_GT(kept, 0u);
  EXPECT_EQ(Fetch("resume.bin", "resume.bin"), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "resume.bin"), body);
  const auto requests = server_->Requests("/resume.bin");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[1].find("\"range\": \"bytes=" + std::to_string(kept) + "-\""), std::string::npos) << requests[1];
  EXPECT_NE(requests[1].find("\"status\": 206"), std::string::npos);
}

TEST_F(Fetchkit, RangeIgnoredOrInconsistentStartsOver) {
  const std::string body = RandomBytes(100 * 1024, 8);
  server_->Put("norange.bin", body);
  CutFetch("norange.bin", "norange.bin", 1000);
  server_->ClearLog();
  server_->SetFaults("{\"/norange.bin\": {\"ignore_range\": true}}");
  EXPECT_EQ(Fetch("norange.bin", "norange.bin"), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "norange.bin"), body);
  auto requests = server_->Requests("/norange.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("bytes=1000-"), std::string::npos);
  EXPECT_NE(requests[0].find("\"status\": 200"), std::string::npos);

  // A local file longer than the server's: 416 with another length, then a
  // fresh download without a range.
  CutFetch("norange.bin", "norange.bin", 1000);
  server_->ClearLog();
  WriteFileBytes(dir_ + "norange.bin", body + "trailing garbage");
  EXPECT_EQ(Fetch("norange.bin", "norange.bin"), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "norange.bin"), body);
  requests = server_->Requests("/norange.bin");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].find("\"status\": 416"), std::string::npos);
  EXPECT_NE(requests[1].find("\"range\": null"), std::string::npos);
}

TEST_F(Fetchkit, CompleteLocalFileIsAlreadyComplete) {
  const std::string body = RandomBytes(64 * 1024, 9);
  server_->Put("whole.bin", body);
  CutFetch("whole.bin", "whole.bin", 1000);
  WriteFileBytes(dir_ + "whole.bin", body);
  EXPECT_EQ(Fetch("whole.bin", "whole.bin"), FK_ALREADY_COMPLETE);
  EXPECT_EQ(ReadFileBytes(dir_ + "whole.bin"), body);
  EXPECT_FALSE(FileExists(dir_ + "whole.bin.fkv"));
}

TEST_F(Fetchkit, APartialFileIsResumedOnlyAsTheEntityItBeganAs) {
  const std::string older = RandomBytes(300 * 1024, 21), newer = RandomBytes(300 * 1024, 22);
  // A partial file of another release, and one of the right size, without a
  // validator: never continued, fetched whole.
  server_->Put("entity.bin", newer);
  for (const std::string& stale : {older.substr(0, 100000), older}) {
    server_->ClearLog();
    WriteFileBytes(dir_ + "entity.bin", stale);
    ::DeleteFileA((dir_ + "entity.bin.fkv").c_str());
    EXPECT_EQ(Fetch("entity.bin", "entity.bin"), FK_OK);
    EXPECT_TRUE(ReadFileBytes(dir_ + "entity.bin") == newer);
    const auto requests = server_->Requests("/entity.bin");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_NE(requests[0].find("\"range\": null"), std::string::npos);
  }
  // Begun on the older release, which the server then replaced: If-Range
  // does not match, the whole new file comes.
  server_->Put("entity.bin", older);
  CutFetch("entity.bin", "entity.bin", 100000);
  server_->Put("entity.bin", newer);
  server_->ClearLog();
  EXPECT_EQ(Fetch("entity.bin", "entity.bin"), FK_OK);
  EXPECT_TRUE(ReadFileBytes(dir_ + "entity.bin") == newer);
  const auto requests = server_->Requests("/entity.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("\"if_range\": \"\\\""), std::string::npos) << requests[0];
  EXPECT_NE(requests[0].find("\"status\": 200"), std::string::npos) << requests[0];
}

TEST_F(Fetchkit, WhatAHostileServerSendsIsBoundedAndRefused) {
  server_->Put("hostile.bin", RandomBytes(200 * 1024, 23));
  struct Case {
    const char* name;
    const char* fault;
    int64_t maxBytes;
    unsigned code;
    bool fileLeft;
  } cases[] = {
      {"endless body", "{\"endless\": true}", 1 << 20, FK_TOO_LARGE, false},
      {"announced too large", "{}", 100 * 1024, FK_TOO_LARGE, false},
      {"gzip-encoded", "{\"gzip\": true}", 0, FK_ENCODED_BODY, false},
      {"chunked, cut before the last chunk", "{\"chunked\": true, \"chunked_cut\": true}", 0, FK_PROTOCOL_ERROR,
       false},
      {"header flood", "{\"header_flood\": 300000}", 0, FK_HEADERS_TOO_LARGE, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_->SetFaults(std::string("{\"/hostile.bin\": ") + c.fault + "}");
    ::DeleteFileA((dir_ + "hostile.bin").c_str());
    std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
    d->SetLimits(c.maxBytes, 0);
    const DWORD start = ::GetTickCount();
    EXPECT_EQ(d->Download(server_->Url("hostile.bin").c_str(), (dir_ + "hostile.bin").c_str(), 0), c.code);
    EXPECT_LT(::GetTickCount() - start, 45000u);  // bounded, however loaded the machine
    EXPECT_EQ(FileExists(dir_ + "hostile.bin"), c.fileLeft);
  }
}

TEST_F(Fetchkit, ADrippingServerIsCutOffWithinAMinute) {
  server_->Put("drip.bin", RandomBytes(4096, 24));
  server_->SetFaults("{\"/drip.bin\": {\"drip\": true, \"drip_seconds\": 2}}");
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(Fetch("drip.bin", "drip.bin"), FK_TOO_SLOW);
  const DWORD took = ::GetTickCount() - start;
  EXPECT_GE(took, 24000u);
  EXPECT_LT(took, 60000u);
  // Headers that drip: the call is left behind within connect + 2 x inactivity.
  server_->SetFaults("{\"/drip.bin\": {\"header_drip\": true, \"drip_seconds\": 1}}");
  const DWORD headers = ::GetTickCount();
  EXPECT_EQ(Fetch("drip.bin", "drip3.bin", 2000, 2000), FK_TOO_SLOW);
  EXPECT_LT(::GetTickCount() - headers, 20000u);
  EXPECT_FALSE(FileExists(dir_ + "drip3.bin"));
  server_->SetFaults("{\"/drip.bin\": {\"drip\": true, \"drip_seconds\": 2}}");
  // A deadline ends it sooner.
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  d->SetLimits(0, 3000);
  const DWORD again = ::GetTickCount();
  EXPECT_EQ(d->Download(server_->Url("drip.bin").c_str(), (dir_ + "drip2.bin").c_str(), FK_FETCH_WHOLE), FK_TOO_SLOW);
  EXPECT_LT(::GetTickCount() - again, 15000u);
}

TEST_F(Fetchkit, AServerThatTurnsToADripInTheMiddleOfALargeReadIsLeftBehind) {
  // Megabytes at full speed make the reads large; a read then waits for a
  // drip that would take days to fill it. The transfer still ends when its
  // deadline (or the stall rule) says so, lets go of its file, and keeps
  // what arrived for a later resume.
  const std::string body = RandomBytes(8 << 20, 25);
  server_->Put("turns.bin", body);
  server_->SetFaults("{\"/turns.bin\": {\"drip\": true, \"drip_seconds\": 1, \"drip_after\": 4194304}}");
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  d->SetLimits(0, 6000);
  const DWORD start = ::GetTickCount();
  EXPECT_EQ(d->Download(server_->Url("turns.bin").c_str(), (dir_ + "turns.bin").c_str(), 0), FK_TOO_SLOW);
  EXPECT_LT(::GetTickCount() - start, 15000u);
  const std::string kept = ReadFileBytes(dir_ + "turns.bin");
  EXPECT_GE(kept.size(), 1u << 20);
  EXPECT_LE(kept.size(), (4u << 20) + 64);  // and a byte a second of the drip
  EXPECT_EQ(kept, body.substr(0, kept.size()));
  EXPECT_TRUE(::DeleteFileA((dir_ + "turns.bin").c_str()));
}

TEST_F(Fetchkit, FetchWholeNeverResumes) {
  const std::string body = RandomBytes(20000, 13);
  server_->Put("whole-only.bin", body);
  server_->ClearLog();
  // A stale file of an earlier release must not become the head of this one.
  WriteFileBytes(dir_ + "whole-only.bin", "stale manifest of another release");
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  EXPECT_EQ(d->Download(server_->Url("whole-only.bin").c_str(), (dir_ + "whole-only.bin").c_str(), FK_FETCH_WHOLE),
            FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "whole-only.bin"), body);
  const auto requests = server_->Requests("/whole-only.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].find("\"range\": null"), std::string::npos);
}

TEST_F(Fetchkit, RedirectsAreFollowedButBounded) {
  const std::string body = RandomBytes(10000, 10);
  server_->Put("target.bin", body);
  server_->SetFaults(
      "{\"/moved.bin\": {\"redirect\": \"/hop.bin\"}, \"/hop.bin\": {\"redirect\": \"target.bin\"},"
      " \"/loop.bin\": {\"redirect\": \"/loop.bin\"}}");
  EXPECT_EQ(Fetch("moved.bin", "moved.bin"), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "moved.bin"), body);
  EXPECT_EQ(Fetch("loop.bin", "loop.bin"), FK_TOO_MANY_REDIRECTS);
  EXPECT_FALSE(FileExists(dir_ + "loop.bin"));
}

TEST_F(Fetchkit, BadArguments) {
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  const std::string local = dir_ + "x.bin";
  EXPECT_EQ(d->Download(nullptr, local.c_str(), 0), FK_BAD_ARGUMENT);
  EXPECT_EQ(d->Download(server_->Url("x").c_str(), nullptr, 0), FK_BAD_ARGUMENT);
  EXPECT_EQ(d->Download("", local.c_str(), 0), FK_BAD_ARGUMENT);
  EXPECT_EQ(d->Download("ftp://127.0.0.1/x.bin", local.c_str(), 0), FK_BAD_ARGUMENT);
  EXPECT_EQ(d->Download("UpdateContent.dll", local.c_str(), 0), FK_BAD_ARGUMENT);
  server_->Put("x.bin", "x");
  EXPECT_EQ(d->Download(server_->Url("x.bin").c_str(), (dir_ + "no-such-folder\\x.bin").c_str(), 0),
            FK_LOCAL_FILE_ERROR);
}

// The wide entry takes a folder no code page but Unicode names, resumes
// there as the 8-bit one does, and the 8-bit one still takes its own paths.
TEST_F(Fetchkit, AWideLocalPathInAFolderOfAnyScript) {
  const std::string folder = dir_ + u8"\u00DCn\u00EFc\u00F8d\u00E9-\u8F6F\u4EF6-\u00DF\\";
  ASSERT_TRUE(::CreateDirectoryW(W(folder).c_str(), nullptr));
  const std::string body = RandomBytes(200 * 1024 + 3, 9);
  server_->Put("wide.bin", body);
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  const std::wstring local = W(folder + "wide.bin");
  server_->SetFaults("{\"/wide.bin\": {\"cut_after\": 5000, \"times\": 1}}");
  EXPECT_EQ(d->DownloadW(server_->Url("wide.bin").c_str(), local.c_str(), 0), FK_INCOMPLETE);
  EXPECT_TRUE(FileExists(folder + "wide.bin.fkv"));
  server_->SetFaults("{}");
  EXPECT_EQ(d->DownloadW(server_->Url("wide.bin").c_str(), local.c_str(), 0), FK_OK);
  EXPECT_EQ(ReadFileBytes(folder + "wide.bin"), body);
  EXPECT_FALSE(FileExists(folder + "wide.bin.fkv"));
  EXPECT_EQ(d->DownloadW(server_->Url("wide.bin").c_str(), nullptr, 0), FK_BAD_ARGUMENT);
  EXPECT_EQ(d->Download(server_->Url("wide.bin").c_str(), (dir_ + "narrow.bin").c_str(), 0), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir_ + "narrow.bin"), body);
}

namespace {

constexpr UINT kProgressMessage = WM_APP + 7;

// A window that records every progress record it receives.
struct ProgressWindow {
  struct Seen {
    uint32_t id, total, received;
  };
  std::vector<Seen> seen;
  HWND wnd = nullptr;

  ProgressWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = &Proc;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.lpszClassName = "FetchkitProgressTest";
    ::RegisterClassA(&wc);
    wnd = ::CreateWindowA("FetchkitProgressTest", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ::SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~ProgressWindow() { ::DestroyWindow(wnd); }
  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    if (m == kProgressMessage) {
      auto* self = reinterpret_cast<ProgressWindow*>(::GetWindowLongPtrA(w, GWLP_USERDATA));
      const auto* r = reinterpret_cast<const FkProgress*>(lp);
      self->seen.push_back({r->transferId, r->total, r->received});
      return 1;
    }
    return ::DefWindowProcA(w, m, wp, lp);
  }
  // Runs the download on a worker thread while this thread handles messages.
  unsigned Run(const std::string& url, const std::string& local) {
    std::atomic<unsigned> code{99};
    std::atomic<bool> done{false};
    std::thread worker([&] {
      std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
      d->SetNotifyWnd(wnd, kProgressMessage, FK_DEFAULT_TIMEOUT, FK_DEFAULT_TIMEOUT, FK_RESERVED, FK_REPORT_PROGRESS);
      code = d->Download(url.c_str(), local.c_str(), 0);
      done = true;
      ::PostMessageA(wnd, WM_NULL, 0, 0);
    });
    MSG msg;
    while (!done && ::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
    worker.join();
    return code;
  }
};

}  // namespace

TEST_F(Fetchkit, ProgressReachesTheWindowAndAddsUp) {
  const size_t size = 1024 * 1024 + 5;
  server_->Put("progress.bin", RandomBytes(size, 11));
  ProgressWindow window;
  ASSERT_EQ(window.Run(server_->Url("progress.bin"), dir_ + "progress.bin"), FK_OK);
  ASSERT_GE(window.seen.size(), 2u);
  EXPECT_LE(window.seen.size(), size / (64 * 1024) + 3);  // not per packet
  uint32_t last = 0;
  for (const auto& s : window.seen) {
    EXPECT_EQ(s.total, size);
    EXPECT_EQ(s.id, window.seen.front().id);
    EXPECT_GE(s.received, last);
    last = s.received;
  }
  EXPECT_EQ(window.seen.front().received, 0u);
  EXPECT_EQ(window.seen.back().received, size);

  // A resumed transfer counts the whole file, from what was already there.
  const std::string body = ReadFileBytes(dir_ + "progress.bin");
  CutFetch("progress.bin", "resumed.bin", 300000);
  ProgressWindow resumed;
  ASSERT_EQ(resumed.Run(server_->Url("progress.bin"), dir_ + "resumed.bin"), FK_OK);
  ASSERT_FALSE(resumed.seen.empty());
  EXPECT_EQ(resumed.seen.front().received, 300000u);
  EXPECT_EQ(resumed.seen.front().total, size);
  EXPECT_EQ(resumed.seen.back().received, size);
  EXPECT_NE(resumed.seen.front().id, window.seen.front().id);
  EXPECT_EQ(ReadFileBytes(dir_ + "resumed.bin"), body);

  // Without a known length the size is announced by the last report.
  server_->SetFaults("{\"/progress.bin\": {\"no_length\": true}}");
  ProgressWindow unknown;
  ASSERT_EQ(unknown.Run(server_->Url("progress.bin"), dir_ + "unknown.bin"), FK_OK);
  EXPECT_EQ(unknown.seen.front().total, 0u);
  EXPECT_EQ(unknown.seen.back().total, size);
  EXPECT_EQ(unknown.seen.back().received, size);
}

TEST_F(Fetchkit, ManyInstancesAtOnce) {
  constexpr int kCount = 8;
  std::vector<std::string> bodies;
  for (int i = 0; i < kCount; ++i) {
    bodies.push_back(RandomBytes(600 * 1024 + i, 100 + i));
    server_->Put("par" + std::to_string(i) + ".bin", bodies.back());
  }
  std::vector<unsigned> codes(kCount, 99);
  std::vector<std::thread> threads;
  for (int i = 0; i < kCount; ++i)
    threads.emplace_back([&, i] {
      std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
      const std::string name = "par" + std::to_string(i) + ".bin";
      codes[i] = d->Download(server_->Url(name).c_str(), (dir_ + name).c_str(), 0);
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(codes[i], FK_OK) << i;
    EXPECT_EQ(ReadFileBytes(dir_ + "par" + std::to_string(i) + ".bin"), bodies[i]) << i;
  }
}

TEST(FetchkitTls, HttpsWithATrustedCertificate) {
  TestServer server(g_tlsServerState);
  ASSERT_TRUE(server.ok());
  // The session's certificate is trusted in the Wine prefix of the test
  // session only; the machine's own trust store is not touched.
  const std::string der = ReadFileBytes(WindowsPath(g_tlsServerState) + "\\cert.der");
  ASSERT_FALSE(der.empty());
  HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, "ROOT");
  ASSERT_NE(store, nullptr);
  ASSERT_TRUE(::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                 nullptr));
  ::CertCloseStore(store, 0);

  const std::string body = RandomBytes(700 * 1024, 12);
  server.Put("tls.bin", body);
  const std::string dir = MakeTempFolder("tls");
  const std::string port = server.Url("").substr(std::string("http://127.0.0.1:").size());
  std::unique_ptr<CHttpDownload> d(CHttpDownload::NewInstance());
  EXPECT_EQ(d->Download(("https://localhost:" + port + "tls.bin").c_str(), (dir + "tls.bin").c_str(), 0), FK_OK);
  EXPECT_EQ(ReadFileBytes(dir + "tls.bin"), body);
  // The certificate names localhost, not the address.
  std::unique_ptr<CHttpDownload> e(CHttpDownload::NewInstance());
  EXPECT_EQ(e->Download(("https://127.0.0.1:" + port + "tls.bin").c_str(), (dir + "bad.bin").c_str(), 0),
            FK_SECURE_CHANNEL_ERROR);
  EXPECT_FALSE(FileExists(dir + "bad.bin"));
  // A redirect from https to plain http is never followed.
  server.SetFaults("{\"/tls.bin\": {\"redirect\": \"http://127.0.0.1:9/tls.bin\"}}");
  std::unique_ptr<CHttpDownload> f(CHttpDownload::NewInstance());
  EXPECT_EQ(f->Download(("https://localhost:" + port + "tls.bin").c_str(), (dir + "down.bin").c_str(), 0),
            FK_INSECURE_REDIRECT);
  EXPECT_FALSE(FileExists(dir + "down.bin"));
  server.SetFaults("{}");
  RemoveTree(dir);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 3) {
    fprintf(stderr, "usage: fetchkit_tests SERVER_STATE_DIR TLS_SERVER_STATE_DIR\n");
    return 2;
  }
  g_serverState = argv[1];
  g_tlsServerState = argv[2];
  return RUN_ALL_TESTS();
}
