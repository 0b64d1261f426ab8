// Helpers of the Windows test programs: paths, processes, windows, mappings.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/Scoped.h"
#include "framework/Text.h"

namespace testing_support {

// Paths in the tests are UTF-8 (so that an install folder may be named in
// any script under any code page); W gives the platform's UTF-16 form.
inline std::wstring W(const std::string& utf8) { return fw::FromUtf8(utf8); }

// A path handed over from the Linux side ("/a/b") as Wine sees it ("Z:\a\b").
std::string WindowsPath(const std::string& hostPath);

// The folder of the running test program, with a trailing backslash.
std::string ProgramDirectory();

// A fresh empty folder under the system's temporary folder.
std::string MakeTempFolder(const std::string& tag);
void RemoveTree(const std::string& path);

// Named shared memory of `size` bytes holding `bytes` (the rest zero).
fw::ScopedHandle CreateNamedMapping(const char* name, const std::vector<unsigned char>& bytes, DWORD size);
std::vector<unsigned char> HandoffBytes(int mode, HWND productWindow, const std::string& serverBase);

struct Process {
  fw::ScopedHandle handle;
  DWORD id = 0;
};
Process StartProcess(const std::string& exe, const std::string& arguments = "");
// Exit code, or STILL_ACTIVE when it did not end within `timeoutMs`.
DWORD WaitForExit(const Process& process, DWORD timeoutMs);

// Top-level windows of a process; only visible ones when asked.
std::vector<HWND> WindowsOfProcess(DWORD processId, bool visibleOnly);
// Polls until the process shows a visible top-level window; null on time-out.
HWND WaitForVisibleWindow(const Process& process, DWORD timeoutMs);

}  // namespace testing_support

namespace testing_support {

// Reading and writing whole files.
std::string ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The same at UTF-16 paths, as the engine names them.
inline std::string ReadFileBytes(const std::wstring& path) { return ReadFileBytes(fw::Utf8(path)); }
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  return WriteFileBytes(fw::Utf8(path), bytes);
}
inline bool FileExists(const std::wstring& path) { return FileExists(fw::Utf8(path)); }
std::string RandomBytes(size_t size, unsigned seed);

// The screen (the Xvfb screen under Wine) as a PNG file at `path`.
void SaveScreenPng(const std::string& path);
// Imports a .reg text (after "REGEDIT4") into the test prefix's registry, as an administrator's tool would.
void ImportRegistry(const std::string& text);

// The fault-injecting test server of the session (tests/server): its folder,
// its faults file and its request log, as the Windows side sees them.
class TestServer {
 public:
  // `stateDir` is the server's state folder as given on the command line.
  explicit TestServer(const std::string& stateDir);
  bool ok() const { return port_ != 0; }
  std::string Url(const std::string& name) const;  // http://127.0.0.1:PORT/name
  std::string Base() const { return Url(""); }
  // Writes a file under www; a module's, deflated module's or updater's fixed
  // name writes the name of its content the folder's manifest lists too.
  void Put(const std::string& name, const std::string& bytes) const;
  void Remove(const std::string& name) const;
  // Replaces the whole fault set (a JSON object keyed by "/path").
  void SetFaults(const std::string& json) const;
  // Logged requests of `path` ("/name") as JSON lines, oldest first.
  std::vector<std::string> Requests(const std::string& path) const;
  void ClearLog() const;

 private:
  std::string dir_;
  int port_ = 0;
};

}  // namespace testing_support

namespace testing_support {

// The installed names of the product's 17 modules, and their names on the server.
extern const char* const kCatalogueFiles[17];
extern const char* const kServerNames[17];

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// `folder` laid out with the modules of `releaseDir\release\` and the updater.
void InstallRelease(const std::string& releaseDir, const std::string& release, const std::string& folder,
                    const std::string& updater);
// The updater that the sample product in `folder` has started (from its
// log): the `nth` one it names.
Process UpdaterStartedBy(const std::string& folder, DWORD timeoutMs, int nth = 1);
// Sets the product-exit event while a product listens to it.
void AskProductsToExit();
// Ends every process whose program lies in `folder`: what a killed updater
// started just before it died may not listen to any event yet.
void EndProcessesIn(const std::string& folder);

// The update window's controls, from another process.
void Click(HWND dialog, int id);
std::string Text(HWND control);  // WM_GETTEXT, which crosses processes
bool Showing(HWND dialog, int id);
// Until the finish button (the success presentation) shows.
bool WaitForSuccess(HWND dialog, DWORD timeoutMs);

}  // namespace testing_support

namespace testing_support {

// A case of the suites that run whole updates: a fresh install folder with
// the old release and the updater, the test server without faults, and the
// product, which starts the updater. Everything started is ended afterwards.
class ProductCase : public ::testing::Test {
 protected:
  ProductCase(std::string serverState, std::string releaseDir, std::string updater)
      : serverState_(std::move(serverState)), releaseDir_(std::move(releaseDir)), updater_exe_(std::move(updater)) {}
  void SetUp() override;
  void TearDown() override;
  void StopAll();
  // The product in `mode` against the server folder `folder_`; then the
  // updater it started.
  void StartProduct(int mode, const std::string& extra = "");
  // The product started without a work order (as by its user); it starts
  // the updater itself only to repair an interrupted installation.
  void StartProductPlain();

  std::unique_ptr<TestServer> server_;
  std::string install_;
  std::string folder_ = "release/";
  // When set, the server base the product hands over instead of folder_ on the test server.
  std::string base_;
  Process product_, updater_;

 private:
  std::string serverState_, releaseDir_, updater_exe_;
};

}  // namespace testing_support
