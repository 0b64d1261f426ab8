// Updater.exe as a whole: without a work order it ends unseen; with one it
// shows its window.
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace testing_support;

namespace {
std::string g_updater;
std::string g_serverState;
}

TEST(UpdaterLaunch, WithoutHandoffItEndsAtOnceAndShowsNothing) {
  Process updater = StartProcess(g_updater);
  ASSERT_TRUE(updater.handle);
  bool sawWindow = false;
  const DWORD start = ::GetTickCount();
  while (::WaitForSingleObject(updater.handle.get(), 5) == WAIT_TIMEOUT && ::GetTickCount() - start < 10000)
    sawWindow = sawWindow || !WindowsOfProcess(updater.id, true).empty();
  EXPECT_EQ(WaitForExit(updater, 0), 0u);
  EXPECT_FALSE(sawWindow);
}

TEST(UpdaterLaunch, WithHandoffItShowsItsWindowUntilClosed) {
  fw::ScopedHandle block = CreateNamedMapping("@_KELMO_UPDATE_@", HandoffBytes(1, nullptr, "http://127.0.0.1:9/"), 4096);
  ASSERT_TRUE(block);
  Process updater = StartProcess(g_updater);
  ASSERT_TRUE(updater.handle);
  HWND window = WaitForVisibleWindow(updater, 20000);
  ASSERT_NE(window, nullptr);
  char className[64] = {};
  ::GetClassNameA(window, className, sizeof className);
  EXPECT_STREQ(className, "#32770");
  EXPECT_NE(::GetDlgItem(window, 1000), nullptr);  // the upgrade button of the template
  ::PostMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_NE(WaitForExit(updater, 10000), STILL_ACTIVE);
}

TEST(UpdaterLaunch, ReleaseNotesAreFetchedInTheInteractiveModesOnly) {
  TestServer server(g_serverState);
  ASSERT_TRUE(server.ok());
  server.Put("UpdateContent.dll", "notes\n");
  const std::string local = g_updater.substr(0, g_updater.rfind('\\') + 1) + "UpdateContent.dat";
  for (int mode : {1, 2, 3}) {
    SCOPED_TRACE(mode);
    server.ClearLog();
    fw::ScopedHandle block = CreateNamedMapping("@_KELMO_UPDATE_@", HandoffBytes(mode, nullptr, server.Base()), 4096);
    Process updater = StartProcess(g_updater);
    ASSERT_TRUE(updater.handle);
    // Mode 3 shows nothing: without a manifest on this server its runs fail and it ends.
    HWND window = mode == 3 ? nullptr : WaitForVisibleWindow(updater, 20000);
    if (mode == 3) {
      EXPECT_NE(WaitForExit(updater, 30000), STILL_ACTIVE);
      EXPECT_EQ(server.Requests("/ModelMD5.dll").size(), 4u);  // the first run and three retries
    }
    EXPECT_EQ(server.Requests("/UpdateContent.dll").size(), mode == 3 ? 0u : 1u);
    EXPECT_FALSE(FileExists(local));
    if (window) ::PostMessageA(window, WM_CLOSE, 0, 0);
    if (WaitForExit(updater, 10000) == STILL_ACTIVE) ::TerminateProcess(updater.handle.get(), 1);
  }
}

namespace {

// The application manifest a program carries (RT_MANIFEST, id 1); empty without one.
std::string ManifestOf(const std::string& program) {
  HMODULE module = ::LoadLibraryExA(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return {};
  std::string text;
  if (HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24))) {
    const char* data = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
    if (data) text.assign(data, ::SizeofResource(module, found));
  }
  ::FreeLibrary(module);
  return text;
}

}  // namespace

TEST(UpdaterManifest, EveryProgramRunsAsInvokedOnEveryWindowsFromVista) {
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string folder = g_updater.substr(0, g_updater.rfind('\\') + 1);
  for (const std::string& program : {g_updater, folder + "SampleProduct.exe", folder + "DemoDriver.exe",
                                     std::string(self)}) {
    SCOPED_TRACE(program);
    const std::string manifest = ManifestOf(program);
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
    for (const char* os : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                           "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                           "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
      EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"") + os + "\"/>"), std::string::npos) << os;
    // The deliberate choices: scaled by the system, classic common controls.
    EXPECT_NE(manifest.find(">false</dpiAware>"), std::string::npos);
    EXPECT_EQ(manifest.find("Microsoft.Windows.Common-Controls"), std::string::npos);
  }
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 3) {
    fprintf(stderr, "usage: updater_launch_tests PATH_OF_Updater.exe SERVER_STATE_DIR\n");
    return 2;
  }
  g_updater = WindowsPath(argv[1]);
  g_serverState = argv[2];
  return RUN_ALL_TESTS();
}
