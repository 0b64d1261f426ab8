// The update window as the user sees it: layout, presentations, actions,
// the confirmation, progress, the About box, skins; with screenshots.
#include <gtest/gtest.h>

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
#include <commctrl.h>

#include <functional>
#include <memory>

#include "TestSupport.h"

using namespace testing_support;

namespace {

std::string g_updater, g_serverState, g_releaseDir, g_resDir, g_shotDir;

// Where a control lies in its dialog's client area.
RECT InClient(HWND control) {
  RECT r{};
  ::GetWindowRect(control, &r);
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(control), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void Screenshot(const std::string& name) { SaveScreenPng(g_shotDir + name); }

COLORREF ScreenPixel(int x, int y) {
  HDC screen = ::GetDC(nullptr);
  const COLORREF c = ::GetPixel(screen, x, y);
  ::ReleaseDC(nullptr, screen);
  return c;
}

class UpdateWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TestServer>(g_serverState);
    ASSERT_TRUE(server_->ok());
    server_->SetFaults("{}");
    server_->ClearLog();
    install_ = MakeTempFolder("window");
    InstallRelease(g_releaseDir, "old", install_, g_updater);
  }
  void TearDown() override {
    server_->SetFaults("{}");
    AskProductsToExit();
    if (updater_.handle && WaitForExit(updater_, 5000) == STILL_ACTIVE) ::TerminateProcess(updater_.handle.get(), 1);
    if (product_.handle && WaitForExit(product_, 0) == STILL_ACTIVE) ::TerminateProcess(product_.handle.get(), 1);
    RemoveTree(install_);
  }
  // Starts the product, which starts the updater; the updater's window.
  HWND Open(int mode, const std::string& folder = "release/") {
    if (product_.handle && WaitForExit(product_, 0) == STILL_ACTIVE) {
      ::TerminateProcess(product_.handle.get(), 1);
      WaitForExit(product_, 5000);
    }
    ::DeleteFileW(W(install_ + "product.log").c_str());
    // The pointer away from the window: a button under it from an earlier
    // case would show hovered in the pictures.
    ::SetCursorPos(0, 0);
    product_ = StartProcess(install_ + "Velnoria.exe",
                            "--update " + std::to_string(mode) + " --server " + server_->Url(folder));
    updater_ = UpdaterStartedBy(install_, 10000);
    if (!updater_.handle) return nullptr;
    HWND window = WaitForVisibleWindow(updater_, 20000);
    ::Sleep(400);  // the first paint
    return window;
  }
  bool Visible(HWND window, int id) { return Showing(window, id); }
  bool ProductExitSet() { return ReadFileBytes(install_ + "product.log").find("exit-request") != std::string::npos; }
  // The confirmation box of the updater, once it shows.
  HWND Confirmation() {
    HWND box = nullptr;
    WaitUntil([&] {
      for (HWND w : WindowsOfProcess(updater_.id, true)) {
        char cls[32] = {};
        ::GetClassNameA(w, cls, sizeof cls);
        if (strcmp(cls, "#32770") == 0 && ::GetDlgItem(w, 1000) == nullptr) box = w;
      }
      return box != nullptr;
    }, 5000);
    return box;
  }

  std::unique_ptr<TestServer> server_;
  std::string install_;
  Process product_, updater_;
};

}  // namespace

TEST_F(UpdateWindow, OfferInModeOneAndItsLayout) {
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  Screenshot("window-offer.png");
  RECT r{};
  ::GetWindowRect(window, &r);
  EXPECT_EQ(r.right - r.left, 300);
  EXPECT_EQ(r.bottom - r.top, 320);
  const int sw = ::GetSystemMetrics(SM_CXSCREEN), sh = ::GetSystemMetrics(SM_CYSCREEN);
  EXPECT_LE(std::abs((r.left + r.right) / 2 - sw / 2), 2);
  EXPECT_LE(std::abs((r.top + r.bottom) / 2 - sh / 2), 40);  // centred on the work area
  const LONG ex = ::GetWindowLongA(window, GWL_EXSTYLE);
  EXPECT_TRUE(ex & WS_EX_TOPMOST);
  EXPECT_TRUE(ex & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(ex & WS_EX_APPWINDOW);
  EXPECT_FALSE(::GetWindowLongA(window, GWL_STYLE) & WS_CAPTION);

  const RECT close = InClient(::GetDlgItem(window, 1004));
  EXPECT_EQ(close.left, 267);
  EXPECT_EQ(close.top, 0);
  EXPECT_EQ(close.right - close.left, 33);
  const RECT upgrade = InClient(::GetDlgItem(window, 1000));
  EXPECT_EQ(upgrade.left, 128);
  EXPECT_EQ(upgrade.top, 292);
  EXPECT_EQ(upgrade.right - upgrade.left, 66);
  const RECT skip = InClient(::GetDlgItem(window, 1003));
  EXPECT_EQ(skip.left, 209);
  EXPECT_EQ(skip.top, 292);
  const RECT notes = InClient(::GetDlgItem(window, 1005));
  EXPECT_EQ(notes.left, 10);
  EXPECT_EQ(notes.top, 65);
  EXPECT_EQ(notes.right - notes.left, 280);
  EXPECT_EQ(notes.bottom - notes.top, 141);

  EXPECT_TRUE(Visible(window, 1000));
  EXPECT_TRUE(Visible(window, 1003));
  EXPECT_TRUE(Visible(window, 1004));
  EXPECT_FALSE(Visible(window, 1001));
  EXPECT_FALSE(Visible(window, 1002));
  EXPECT_EQ(Text(::GetDlgItem(window, 1011)), "");
  EXPECT_EQ(Text(::GetDlgItem(window, 1005)), "版本 2.0 更新内容：\r\n- 更快的下载\r\n- 修复若干问题\r\n");

  // Pixels: rounded corners show what is behind, the title band is blue and
  // carries the light title text.
  EXPECT_EQ(ScreenPixel(r.left, r.top), ScreenPixel(r.left - 5, r.top - 5));
  EXPECT_EQ(ScreenPixel(r.right - 1, r.bottom - 1), ScreenPixel(r.right + 5, r.bottom + 5));
  const COLORREF band = ScreenPixel(r.left + 150, r.top + 20);
  EXPECT_GT(GetBValue(band), 150);
  EXPECT_LT(GetRValue(band), 120);
  int light = 0;
  for (int y = r.top + 8; y < r.top + 24; ++y)
    for (int x = r.left + 28; x < r.left + 90; ++x) {
      const COLORREF c = ScreenPixel(x, y);
      if (GetRValue(c) > 200 && GetGValue(c) > 200) ++light;
    }
  EXPECT_GT(light, 30) << "no title text drawn";

  // An OK command changes nothing; 不升级 leaves at once without a question
  // and without asking the product to exit.
  ::PostMessageA(window, WM_COMMAND, IDOK, 0);
  ::Sleep(300);
  EXPECT_TRUE(::IsWindowVisible(window));
  Click(window, 1003);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  ::Sleep(200);
  EXPECT_FALSE(ProductExitSet());
}

TEST_F(UpdateWindow, OfferInModeTwoCloseAsksTheProductToExit) {
  HWND window = Open(2);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(Visible(window, 1000));
  EXPECT_TRUE(Visible(window, 1001));
  EXPECT_FALSE(Visible(window, 1003));
  EXPECT_FALSE(Visible(window, 1002));
  EXPECT_EQ(InClient(::GetDlgItem(window, 1001)).left, 209);
  Click(window, 1004);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  EXPECT_TRUE(WaitUntil([&] { return ProductExitSet(); }, 5000));
}

TEST_F(UpdateWindow, UpdatingProgressAndTheConfirmation) {
  // One module holds its headers back, the others come slowly: the sizes
  // are not all known for a while.
  server_->SetFaults(
      "{\"/release/Velkor.dll\": {\"delay\": 4}, \"/release/Drimsa.dll\": {\"rate\": 8000},"
      " \"/release/Tobrin.dll\": {\"rate\": 8000}}");
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  HWND bar = ::GetDlgItem(window, 1008), status = ::GetDlgItem(window, 1011);
  Click(window, 1000);
  ASSERT_TRUE(WaitUntil([&] { return ::SendMessageA(bar, PBM_GETPOS, 0, 0) >= 1; }, 5000));
  EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(window, 1000)));
  EXPECT_EQ(Text(::GetDlgItem(window, 1003)), "取消");
  EXPECT_EQ(Text(status), "正在更新...");
  const LRESULT token = ::SendMessageA(bar, PBM_GETPOS, 0, 0);
  EXPECT_TRUE(token == 1 || token == 2) << token;
  ::Sleep(300);
  Screenshot("window-updating.png");
  // Once every size is known: the true percentage and the kilobyte line.
  ASSERT_TRUE(WaitUntil([&] { return Text(status).rfind("正在更新：", 0) == 0; }, 10000)) << Text(status);
  EXPECT_NE(Text(status).find(" KB/"), std::string::npos);
  const LRESULT percent = ::SendMessageA(bar, PBM_GETPOS, 0, 0);
  EXPECT_GE(percent, 0);
  EXPECT_LT(percent, 100);

  // 取消 asks; Cancel keeps the run.
  Click(window, 1003);
  HWND box = Confirmation();
  ASSERT_NE(box, nullptr);
  wchar_t caption[64] = {};
  ::GetWindowTextW(box, caption, 64);
  EXPECT_STREQ(caption, L"升级提示");
  Screenshot("window-confirm.png");
  ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
  ::Sleep(500);
  EXPECT_EQ(WaitForExit(updater_, 0), STILL_ACTIVE);
  EXPECT_TRUE(::IsWindowVisible(window));
  // OK ends the updater; the product keeps running.
  Click(window, 1003);
  box = Confirmation();
  ASSERT_NE(box, nullptr);
  ::PostMessageA(box, WM_COMMAND, IDOK, 0);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  EXPECT_FALSE(ProductExitSet());
}

TEST_F(UpdateWindow, TextLinesAreTallEnoughForTheirFont) {
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  // The dialog's font, as the dialog manager makes it from the template.
  HDC screen = ::GetDC(nullptr);
  fw::ScopedGdiObject font(::CreateFontW(-::MulDiv(9, ::GetDeviceCaps(screen, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, 0,
                                         0, 0, DEFAULT_CHARSET, 0, 0, 0, 0, L"宋体"));
  TEXTMETRICW metrics{};
  {
    fw::ScopedSelect select(screen, font.get());
    ASSERT_TRUE(::GetTextMetricsW(screen, &metrics));
  }
  ::ReleaseDC(nullptr, screen);
  const int line = metrics.tmHeight + metrics.tmExternalLeading;
  for (int id : {1011, 1012, 1013, 1014}) {
    RECT r{};
    ::GetWindowRect(::GetDlgItem(window, id), &r);
    EXPECT_GE(r.bottom - r.top, line) << "control " << id << " cuts its text";
  }
  // Still above the progress bar and the buttons.
  RECT status{}, bar{}, hint{}, upgrade{};
  ::GetWindowRect(::GetDlgItem(window, 1011), &status);
  ::GetWindowRect(::GetDlgItem(window, 1008), &bar);
  ::GetWindowRect(::GetDlgItem(window, 1012), &hint);
  ::GetWindowRect(::GetDlgItem(window, 1000), &upgrade);
  EXPECT_LE(status.bottom, bar.top);
  EXPECT_LE(hint.bottom, upgrade.top);
}

namespace {

// A real click of the mouse on the X display, as a person makes it.
bool MouseClick(int x, int y) {
  // Wine starts a Unix program given by its command line alone; its handle
  // never signals, so the click is judged by what it does.
  std::string command = "Z:\\usr\\bin\\xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1";
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return true;
}

bool ClickOn(HWND control) {
  RECT r{};
  ::GetWindowRect(control, &r);
  return MouseClick((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

}  // namespace

TEST_F(UpdateWindow, RealMouseClicksOnTheSkinButtonsUpgradeAndFinish) {
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  ASSERT_TRUE(ClickOn(::GetDlgItem(window, 1000))) << "xdotool did not start";
  ASSERT_TRUE(WaitForSuccess(window, 60000)) << "the click on 升级 did not start the update";
  ASSERT_TRUE(WaitUntil([&] { return !::IsWindowVisible(::GetDlgItem(window, 1000)); }, 5000));
  ::Sleep(300);
  ASSERT_TRUE(ClickOn(::GetDlgItem(window, 1002)));
  EXPECT_NE(WaitForExit(updater_, 30000), STILL_ACTIVE);
  EXPECT_TRUE(WaitUntil([&] {
    const std::string log = ReadFileBytes(install_ + "product.log");
    return log.find("start") != log.rfind("start");
  }, 10000)) << "the product was not started again";
  for (const char* m : kCatalogueFiles)
    EXPECT_TRUE(ReadFileBytes(install_ + m) == ReadFileBytes(g_releaseDir + "new\\" + m)) << m;
}

TEST_F(UpdateWindow, EscAndAltF4ActAsTheCloseButton) {
  // Keys reach the window as they do from the keyboard: Esc through the
  // dialog manager (the focus in the notes box), Alt+F4 as the system's close.
  auto esc = [](HWND window) {
    HWND notes = ::GetDlgItem(window, 1005);
    ::PostMessageA(notes, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    ::PostMessageA(notes, WM_KEYUP, VK_ESCAPE, 0xC0010001);
  };
  auto altF4 = [](HWND window) { ::PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0); };
  // Escape or Space on a focused button at the mandatory offer reach nothing:
  // no question, the product left running, the offer still shown.
  {
    HWND window = Open(2);
    ASSERT_NE(window, nullptr);
    HWND upgrade = ::GetDlgItem(window, 1000);
    for (const WPARAM key : {VK_ESCAPE, VK_SPACE}) {
      ::PostMessageA(upgrade, WM_KEYDOWN, key, 0x00010001);
      ::PostMessageA(upgrade, WM_KEYUP, key, 0xC0010001);
    }
    ::Sleep(700);
    EXPECT_EQ(Confirmation(), nullptr);
    EXPECT_EQ(WaitForExit(updater_, 0), STILL_ACTIVE);
    EXPECT_FALSE(ProductExitSet());
    EXPECT_TRUE(::IsWindowVisible(upgrade));
    ::PostMessageA(window, WM_CLOSE, 0, 0);
    EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  }
  for (const auto& [name, press] : {std::pair<const char*, std::function<void(HWND)>>{"Esc", esc},
                                    std::pair<const char*, std::function<void(HWND)>>{"Alt+F4", altF4}}) {
    SCOPED_TRACE(name);
    // During a download, in the mandatory mode: the confirmation, and on
    // Cancel the run goes on; on OK the product is asked to exit.
    server_->SetFaults("{\"/release/Velkor.dll\": {\"rate\": 4000}}");
    HWND window = Open(2);
    ASSERT_NE(window, nullptr);
    Click(window, 1000);
    ASSERT_TRUE(WaitUntil([&] { return Text(::GetDlgItem(window, 1011)).rfind("正在更新", 0) == 0; }, 5000));
    press(window);
    HWND box = Confirmation();
    ASSERT_NE(box, nullptr) << "the mandatory update was left without a question";
    ::PostMessageA(box, WM_COMMAND, IDCANCEL, 0);
    ::Sleep(500);
    EXPECT_EQ(WaitForExit(updater_, 0), STILL_ACTIVE);
    EXPECT_FALSE(ProductExitSet());
    press(window);
    box = Confirmation();
    ASSERT_NE(box, nullptr);
    ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
    EXPECT_TRUE(WaitUntil([&] { return ProductExitSet(); }, 5000));
    // In the offer of mode 1 it leaves at once, the product left running.
    server_->SetFaults("{}");
    window = Open(1);
    ASSERT_NE(window, nullptr);
    press(window);
    EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
    EXPECT_FALSE(ProductExitSet());
  }
}

TEST_F(UpdateWindow, SuccessAndFinish) {
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  Click(window, 1000);
  ASSERT_TRUE(WaitForSuccess(window, 60000));
  ::Sleep(300);
  Screenshot("window-success.png");
  EXPECT_FALSE(Visible(window, 1000));
  EXPECT_FALSE(Visible(window, 1003));
  EXPECT_FALSE(Visible(window, 1001));
  EXPECT_TRUE(Visible(window, 1004));
  EXPECT_TRUE(WaitUntil([&] { return Text(::GetDlgItem(window, 1011)) == "更新成功,点击“完成”将重新启动Marvento！"; }, 5000));
  EXPECT_EQ(::SendMessageA(::GetDlgItem(window, 1008), PBM_GETPOS, 0, 0), 100);
  Click(window, 1002);
  EXPECT_NE(WaitForExit(updater_, 20000), STILL_ACTIVE);
  for (const char* m : kCatalogueFiles)
    EXPECT_TRUE(ReadFileBytes(install_ + m) == ReadFileBytes(g_releaseDir + "new\\" + m)) << m;
  EXPECT_TRUE(WaitUntil([&] {
    const std::string log = ReadFileBytes(install_ + "product.log");
    return log.find("start", log.find("exit-request")) != std::string::npos;
  }, 10000));
}

TEST_F(UpdateWindow, FailureThenOneFinalRun) {
  server_->SetFaults("{\"/release/Tamrik.dll\": {\"status\": 500}}");
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  Click(window, 1000);
  ASSERT_TRUE(WaitUntil([&] { return Text(::GetDlgItem(window, 1011)) == "更新失败！"; }, 60000));
  ::Sleep(300);
  Screenshot("window-failure.png");
  EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(window, 1000)));
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 4u);
  Click(window, 1000);
  ASSERT_TRUE(WaitUntil([&] { return server_->Requests("/release/Tamrik.dll").size() == 5; }, 10000));
  ASSERT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(::GetDlgItem(window, 1000)) != FALSE; }, 20000));
  ::Sleep(500);
  EXPECT_EQ(server_->Requests("/release/Tamrik.dll").size(), 5u);
  // Leaving from the failure asks nothing.
  Click(window, 1004);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
}

// A run that finds the release held back never says 更新成功 and never
// restarts the product: here a halt (0 %) that the start check, which could
// not reach the server, did not see before the offer showed.
TEST_F(UpdateWindow, AHaltTheOfferDidNotKnowOfShowsAsSuchAndKeepsTheProduct) {
  const std::string www = WindowsPath(g_serverState) + "\\www\\", halted = www + "halted\\";
  ::CreateDirectoryA(halted.c_str(), nullptr);
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA((www + "release\\*").c_str(), &found);
  do
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      ::CopyFileA((www + "release\\" + found.cFileName).c_str(), (halted + found.cFileName).c_str(), FALSE);
  while (::FindNextFileA(search, &found));
  ::FindClose(search);
  WriteFileBytes(halted + "ModelMD5.dll", ReadFileBytes(halted + "ModelMD5.dll") + "[Rollout]\r\nPercent=0\r\n");
  server_->SetFaults("{\"/halted/ModelMD5.dll\": {\"status\": 503, \"times\": 1}}");
  HWND window = Open(1, "halted/");
  ASSERT_NE(window, nullptr);
  Click(window, 1000);
  ASSERT_TRUE(WaitUntil([&] { return Text(::GetDlgItem(window, 1011)) == "新版本已暂停发布，本次不更新。"; }, 30000))
      << Text(::GetDlgItem(window, 1011));
  ::Sleep(300);
  Screenshot("window-halted.png");
  for (const int hidden : {1000, 1001, 1002, 1003}) EXPECT_FALSE(Visible(window, hidden)) << hidden;
  EXPECT_TRUE(Visible(window, 1004));
  EXPECT_EQ(::SendMessageA(::GetDlgItem(window, 1008), PBM_GETPOS, 0, 0), 0);
  // Closing leaves the product as it is: not asked to exit, nothing installed or pre-loaded.
  Click(window, 1004);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  EXPECT_FALSE(ProductExitSet());
  EXPECT_EQ(WaitForExit(product_, 0), STILL_ACTIVE);
  for (const char* m : kCatalogueFiles)
    EXPECT_TRUE(ReadFileBytes(install_ + m) == ReadFileBytes(g_releaseDir + "old\\" + m)) << m;
  EXPECT_NE(ReadFileBytes(install_ + "Updater.log").find("the release team has halted the release"), std::string::npos);
  const std::vector<std::string> reports = server_->Requests("/halted/UpdaterReport");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("outcome=heldback"), std::string::npos) << reports[0];
  RemoveTree(halted);
}

TEST_F(UpdateWindow, UpdaterExitEventEndsTheWindow) {
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  HANDLE e = ::CreateEventA(nullptr, TRUE, FALSE, "*_UPDATER_EXIT_*");
  ::SetEvent(e);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  ::ResetEvent(e);
  ::CloseHandle(e);
}

TEST_F(UpdateWindow, AboutBoxFromTheSystemMenu) {
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  ::PostMessageA(window, WM_SYSCOMMAND, 0x0010, 0);
  HWND about = nullptr;
  // Found once the dialog is whole and running (its controls made, its owner disabled).
  ASSERT_TRUE(WaitUntil([&] {
    about = ::FindWindowA("#32770", "关于 Updater");
    return about != nullptr && ::GetDlgItem(about, IDOK) != nullptr && ::IsWindowVisible(about) &&
           !::IsWindowEnabled(window);
  }, 10000)) << "no About box over a disabled update window";
  // Owned by the update window, which takes no clicks meanwhile, and over it.
  EXPECT_EQ(::GetWindow(about, GW_OWNER), window);
  RECT a{}, w{};
  ::GetWindowRect(about, &a);
  ::GetWindowRect(window, &w);
  EXPECT_NEAR((a.left + a.right) / 2, (w.left + w.right) / 2, 2);
  ::Sleep(300);
  Screenshot("window-about.png");
  ::PostMessageA(about, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(WaitUntil([&] { return ::FindWindowA("#32770", "关于 Updater") == nullptr; }, 5000));
  EXPECT_TRUE(::IsWindowVisible(window));
  EXPECT_TRUE(::IsWindowEnabled(window));
}

TEST_F(UpdateWindow, SkinFolderButtonsTakeTheirSizeMissingFolderIsBuiltIn) {
  // Skin 2 has only a button strip, of another size (a 9 x 64 image: 2 x 64 frames).
  ::WritePrivateProfileStringA("SkinSet", "SkinIndex", "2", (install_ + "SetConfig.ini").c_str());
  ::CreateDirectoryA((install_ + "mvttools").c_str(), nullptr);
  ::CreateDirectoryA((install_ + "mvttools\\Skin").c_str(), nullptr);
  ::CreateDirectoryA((install_ + "mvttools\\Skin\\Skin2").c_str(), nullptr);
  ::CreateDirectoryA((install_ + "mvttools\\Skin\\Skin2\\General").c_str(), nullptr);
  ASSERT_TRUE(::CopyFileA((g_resDir + "skin133.png").c_str(),
                          (install_ + "mvttools\\Skin\\Skin2\\General\\BoxBtn_S.png").c_str(), FALSE));
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  const RECT upgrade = InClient(::GetDlgItem(window, 1000));
  EXPECT_EQ(upgrade.right - upgrade.left, 2);
  EXPECT_EQ(upgrade.bottom - upgrade.top, 64);
  EXPECT_EQ(upgrade.left, 300 - 2 * 2 - 40);
  EXPECT_EQ(upgrade.top, 320 - 64 - 5);
  EXPECT_EQ(InClient(::GetDlgItem(window, 1004)).left, 267);  // the close glyph keeps the built-in image
  Click(window, 1003);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);

  ::WritePrivateProfileStringA("SkinSet", "SkinIndex", "5", (install_ + "SetConfig.ini").c_str());
  window = Open(1);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(InClient(::GetDlgItem(window, 1000)).left, 128);
  EXPECT_EQ(InClient(::GetDlgItem(window, 1000)).top, 292);
  Click(window, 1003);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
}

TEST_F(UpdateWindow, SkinFilesThatDoNotDecodeOrAreTooNarrowFallBackToTheBuiltInImages) {
  // The built-in look first, for the pixels to compare with.
  HWND window = Open(1);
  ASSERT_NE(window, nullptr);
  RECT r{};
  ::GetWindowRect(window, &r);
  const COLORREF band = ScreenPixel(r.left + 150, r.top + 20), body = ScreenPixel(r.left + 150, r.top + 250);
  Click(window, 1003);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
  // Skin 3: a background that is no picture at all, and a button strip of
  // 3 x 23 pixels for 4 frames (0 pixels a frame).
  ::WritePrivateProfileStringA("SkinSet", "SkinIndex", "3", (install_ + "SetConfig.ini").c_str());
  for (const char* folder : {"mvttools", "mvttools\\Skin", "mvttools\\Skin\\Skin3", "mvttools\\Skin\\Skin3\\General"})
    ::CreateDirectoryA((install_ + folder).c_str(), nullptr);
  const std::string general = install_ + "mvttools\\Skin\\Skin3\\General\\";
  WriteFileBytes(general + "PopupBoxBk.png", "not a picture at all");
  static const char kNarrowStrip[] = "\x89\x50\x4e\x47\x0d\x0a\x1a\x0a\x00\x00\x00\x0d\x49\x48\x44\x52\x00\x00\x00\x03\x00\x00\x00\x17\x08\x06\x00\x00\x00\xce\x6f\xf5\x32\x00\x00\x00\x13\x49\x44\x41\x54\x78\xda\x63\x50\x48\x38\xf0\x1f\x86\x19\x46\x39\x78\x38\x00\x20\xed\x9a\xfc\xb8\x27\xf7\xca\x00\x00\x00\x00\x49\x45\x4e\x44\xae\x42\x60\x82";
  WriteFileBytes(general + "BoxBtn_S.png", std::string(kNarrowStrip, sizeof kNarrowStrip - 1));
  window = Open(1);
  ASSERT_NE(window, nullptr);
  ::GetWindowRect(window, &r);
  EXPECT_EQ(ScreenPixel(r.left + 150, r.top + 20), band) << "the title band is gone";
  EXPECT_EQ(ScreenPixel(r.left + 150, r.top + 250), body);
  const RECT upgrade = InClient(::GetDlgItem(window, 1000));
  EXPECT_EQ(upgrade.right - upgrade.left, 66) << "the buttons took the strip of 0-pixel frames";
  EXPECT_EQ(upgrade.bottom - upgrade.top, 23);
  Click(window, 1003);
  EXPECT_NE(WaitForExit(updater_, 10000), STILL_ACTIVE);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 6) {
    fprintf(stderr, "usage: update_window_tests UPDATER SERVER_STATE RELEASE_DIR RES_DIR SCREENSHOT_DIR\n");
    return 2;
  }
  g_updater = WindowsPath(argv[1]);
  g_serverState = argv[2];
  g_releaseDir = WindowsPath(argv[3]) + "\\";
  g_resDir = WindowsPath(argv[4]) + "\\";
  g_shotDir = WindowsPath(argv[5]) + "\\";
  ::CreateDirectoryA(g_shotDir.c_str(), nullptr);
  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartup(&token, &input, nullptr);
  const int result = RUN_ALL_TESTS();
  Gdiplus::GdiplusShutdown(token);
  return result;
}
