// Updater.exe as a whole: without a work order it ends unseen; with one it
// shows its window.
#include <gtest/gtest.h>

#include "TestSupport.h"

using namespace testing_support;

namespace {
std::string g_updater;
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

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: updater_launch_tests PATH_OF_Updater.exe\n");
    return 2;
  }
  g_updater = WindowsPath(argv[1]);
  return RUN_ALL_TESTS();
}
