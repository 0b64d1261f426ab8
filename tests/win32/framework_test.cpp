#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Files.h"
#include "framework/Scoped.h"
#include "framework/Text.h"
#include "framework/Thread.h"
#include "framework/WinApp.h"

namespace {

constexpr UINT kPing = WM_APP + 1;
constexpr UINT kPong = WM_APP + 2;

// A base map and a derived map that chains to it.
class BaseWindow : public CWnd {
 public:
  std::vector<std::string> log;
  LRESULT OnPing(WPARAM, LPARAM) {
    log.push_back("base ping");
    return 1;
  }
  LRESULT OnPong(WPARAM, LPARAM) {
    log.push_back("base pong");
    return 2;
  }
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(BaseWindow, CWnd)
  ON_MESSAGE(kPing, OnPing)
  ON_MESSAGE(kPong, OnPong)
END_MESSAGE_MAP()

class DerivedWindow : public BaseWindow {
 public:
  LRESULT OnPing(WPARAM w, LPARAM) {
    log.push_back("derived ping " + std::to_string(w));
    return 10;
  }
  LRESULT OnSetText(WPARAM, LPARAM) {
    log.push_back("settext");
    return Default();  // the static's own procedure stores the text
  }
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(DerivedWindow, BaseWindow)
  ON_MESSAGE(kPing, OnPing)
  ON_MESSAGE(WM_SETTEXT, OnSetText)
END_MESSAGE_MAP()

HWND MakeStatic() {
  return ::CreateWindowExA(0, "STATIC", "start", WS_POPUP, 0, 0, 50, 20, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace

TEST(MessageMap, DerivedEntriesWinAndTheBaseMapFollows) {
  DerivedWindow w;
  HWND wnd = MakeStatic();
  ASSERT_TRUE(w.SubclassWindow(wnd));
  EXPECT_EQ(CWnd::FromHandlePermanent(wnd), &w);
  EXPECT_EQ(::SendMessageA(wnd, kPing, 7, 0), 10);
  EXPECT_EQ(::SendMessageA(wnd, kPong, 0, 0), 2);
  ::SetWindowTextA(wnd, "changed");
  EXPECT_EQ(w.GetWindowText(), L"changed");
  EXPECT_EQ(w.log, (std::vector<std::string>{"derived ping 7", "base pong", "settext"}));
  // A second object cannot take a window that is bound already.
  DerivedWindow other;
  EXPECT_FALSE(other.SubclassWindow(wnd));
  ::DestroyWindow(wnd);
  EXPECT_EQ(w.m_hWnd, nullptr);
  EXPECT_EQ(CWnd::FromHandlePermanent(wnd), nullptr);
}

namespace {

class TestDialog : public CDialog {
 public:
  TestDialog() : CDialog(200) {}
  CButton button;
  CStatic label;
  std::vector<std::string> log;
  UINT postOnInit = 0;
  bool okReached = false;

 protected:
  void DoDataExchange(CDataExchange* dx) override {
    DDX_Control(dx, 300, button);
    DDX_Control(dx, 301, label);
  }
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    log.push_back("init");
    if (postOnInit) PostMessage(postOnInit);
    return TRUE;
  }
  void OnOK() override { okReached = true; }
  LRESULT OnButton(WPARAM, LPARAM) {
    log.push_back("button " + fw::Utf8(label.GetWindowText()));
    return 0;
  }
  LRESULT OnFinish(WPARAM, LPARAM) {
    EndDialog(42);
    return 0;
  }
  BOOL PreTranslateMessage(MSG* msg) override {
    if (msg->message == kPong) log.push_back("pretranslate");
    return CDialog::PreTranslateMessage(msg);
  }
  DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(TestDialog, CDialog)
  ON_BN_CLICKED(300, OnButton)
  ON_MESSAGE(kPing, OnFinish)
END_MESSAGE_MAP()

}  // namespace

TEST(Dialog, ModalLoopBindsControlsAndEndsWithTheGivenResult) {
  TestDialog dialog;
  dialog.postOnInit = WM_APP + 50;  // unhandled: must reach default processing harmlessly
  struct Driver {
    static VOID CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
      HWND wnd = ::FindWindowA(nullptr, "framework test");
      ::KillTimer(nullptr, id);
      ::PostMessageA(wnd, kPong, 0, 0);
      ::SendMessageA(::GetDlgItem(wnd, 300), BM_CLICK, 0, 0);
      ::SendMessageA(wnd, WM_COMMAND, IDOK, 0);
      ::PostMessageA(wnd, kPing, 0, 0);
    }
  };
  ::SetTimer(nullptr, 0, 10, &Driver::Tick);
  EXPECT_EQ(dialog.DoModal(), 42);
  EXPECT_EQ(dialog.log, (std::vector<std::string>{"init", "button text", "pretranslate"}));
  EXPECT_TRUE(dialog.okReached);  // OnOK was overridden and did not end the dialog
  EXPECT_EQ(dialog.m_hWnd, nullptr);
  EXPECT_EQ(dialog.button.m_hWnd, nullptr);
}

TEST(Dialog, CloseIsCancel) {
  TestDialog dialog;
  dialog.postOnInit = WM_CLOSE;
  EXPECT_EQ(dialog.DoModal(), IDCANCEL);
}

namespace {

// A dialog whose initialisation runs `onInit`; a safety timer ends it with
// 99 after two seconds so that a broken loop fails the test instead of hanging it.
class ScriptedDialog : public CDialog {
 public:
  explicit ScriptedDialog(CWnd* parent = nullptr) : CDialog(200, parent) {}
  void (*onInit)(ScriptedDialog&) = nullptr;
  static ScriptedDialog* running;

  INT_PTR RunGuarded() {
    running = this;
    const UINT_PTR guard = ::SetTimer(nullptr, 0, 2000, &Guard);
    const INT_PTR result = DoModal();
    ::KillTimer(nullptr, guard);
    running = nullptr;
    return result;
  }

 protected:
  BOOL OnInitDialog() override {
    CDialog::OnInitDialog();
    if (onInit) onInit(*this);
    return TRUE;
  }

 private:
  static VOID CALLBACK Guard(HWND, UINT, UINT_PTR id, DWORD) {
    ::KillTimer(nullptr, id);
    if (running) running->EndDialog(99);
  }
};
ScriptedDialog* ScriptedDialog::running = nullptr;

}  // namespace

TEST(Dialog, EndDialogDuringInitialisationEndsIt) {
  ScriptedDialog dialog;
  dialog.onInit = [](ScriptedDialog& d) { d.EndDialog(7); };
  EXPECT_EQ(dialog.RunGuarded(), 7);
  EXPECT_EQ(dialog.m_hWnd, nullptr);
}

TEST(Dialog, ADialogDestroyedWithoutEndDialogEndsItsLoop) {
  ScriptedDialog dialog;
  dialog.onInit = [](ScriptedDialog& d) { d.PostMessage(WM_APP + 77); };
  struct Destroyer {
    static VOID CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
      ::KillTimer(nullptr, id);
      ::DestroyWindow(::FindWindowA(nullptr, "framework test"));
    }
  };
  ::SetTimer(nullptr, 0, 50, &Destroyer::Tick);
  EXPECT_EQ(dialog.RunGuarded(), -1);
}

TEST(Dialog, WithoutAParentTheMainWindowOwnsTheDialogAndIsDisabled) {
  CWinApp application;
  CWinApp* app = AfxGetApp();
  ASSERT_EQ(app, &application);
  CWnd main;
  ASSERT_TRUE(main.SubclassWindow(::CreateWindowExA(0, "STATIC", "main window", WS_POPUP | WS_VISIBLE | WS_CAPTION,
                                                    300, 200, 400, 300, nullptr, nullptr, nullptr, nullptr)));
  app->m_pMainWnd = &main;
  struct Seen {
    HWND owner = nullptr;
    BOOL mainEnabled = TRUE;
    RECT dialog{};
  };
  static Seen seen;
  seen = Seen{};
  ScriptedDialog dialog;
  struct Looker {
    static VOID CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
      ::KillTimer(nullptr, id);
      HWND wnd = ::FindWindowA(nullptr, "framework test");
      seen.owner = ::GetWindow(wnd, GW_OWNER);
      seen.mainEnabled = ::IsWindowEnabled(::FindWindowA(nullptr, "main window"));
      ::GetWindowRect(wnd, &seen.dialog);
      ::PostMessageA(wnd, WM_CLOSE, 0, 0);
    }
  };
  ::SetTimer(nullptr, 0, 50, &Looker::Tick);
  EXPECT_EQ(dialog.RunGuarded(), IDCANCEL);
  app->m_pMainWnd = nullptr;
  EXPECT_EQ(seen.owner, main.m_hWnd);
  EXPECT_FALSE(seen.mainEnabled) << "the main window must not take clicks while the dialog runs";
  EXPECT_TRUE(::IsWindowEnabled(main.m_hWnd));
  // Centred over its owner, not at the screen's corner.
  const RECT owner = main.GetWindowRect();
  EXPECT_NEAR((seen.dialog.left + seen.dialog.right) / 2, (owner.left + owner.right) / 2, 2);
  EXPECT_NEAR((seen.dialog.top + seen.dialog.bottom) / 2, (owner.top + owner.bottom) / 2, 2);
  ::DestroyWindow(main.m_hWnd);
}

TEST(Files, WholeReadsAreBoundedAndFailedWritesSayWhy) {
  const std::wstring temp = fw::TempFolder();
  const std::wstring path = temp + L"framework_files_test.bin";
  // The bound is the largest file read; a missing file is nothing.
  const struct {
    size_t size;
    int64_t bound;
    bool read;
  } kCases[] = {{0, 0, true}, {0, 10, true}, {10, 10, true}, {11, 10, false}, {70000, 70000, true}, {70000, 69999, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, bound " + std::to_string(c.bound));
    std::string bytes(c.size, '\0');
    for (size_t i = 0; i < c.size; ++i) bytes[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(fw::WriteWholeFile(path, bytes));
    const std::optional<std::string> got = fw::ReadWholeFile(path, c.bound);
    ASSERT_EQ(got.has_value(), c.read);
    EXPECT_EQ(got.value_or(bytes), bytes);
  }
  ::DeleteFileW(path.c_str());
  EXPECT_FALSE(fw::ReadWholeFile(path, 100).has_value());
  EXPECT_FALSE(fw::WriteWholeFile(temp + L"no such folder\\file.bin", "x"));

  // A write that fails for another reason than room is not a full disk.
  fw::ScopedFile readOnly(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(readOnly);
  DWORD error = 0;
  EXPECT_FALSE(fw::WriteAll(readOnly.get(), "abc", 3, error));
  EXPECT_NE(error, 0u);
  EXPECT_FALSE(fw::IsDiskFull(error)) << error;
  for (const DWORD full : {ERROR_DISK_FULL, ERROR_HANDLE_DISK_FULL}) EXPECT_TRUE(fw::IsDiskFull(full));
  readOnly.reset();
  ::DeleteFileW(path.c_str());
}

TEST(Files, FoldersOnTheWayAreMadeInAnyScript) {
  const std::wstring root = fw::TempFolder() + L"framework-folders-\u8F6F\u4EF6-\u00DF\\";
  const struct {
    const wchar_t* path;  // below root
    bool made;
    const wchar_t* folder;  // then a folder
  } kCases[] = {
      {L"a\\b\\c\\file.bin", true, L"a\\b\\c"},  // up to the last backslash only
      {L"a\\b\\", true, L"a\\b"},                   // there already
      {L"\u00DCn\u00EFc\u00F8d\u00E9\\x\\", true, L"\u00DCn\u00EFc\u00F8d\u00E9\\x"},
      {L"blocker\\x\\file.bin", false, nullptr},  // a file where a folder should be
  };
  ASSERT_TRUE(fw::MakeFoldersOf(root));
  ASSERT_TRUE(fw::WriteWholeFile(root + L"blocker", "x"));
  for (const auto& c : kCases) {
    EXPECT_EQ(fw::MakeFoldersOf(root + c.path), c.made) << fw::Utf8(c.path);
    if (!c.folder) continue;
    const DWORD attributes = ::GetFileAttributesW((root + c.folder).c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << fw::Utf8(c.folder);
  }
  EXPECT_FALSE(fw::PathExists(root + L"a\\b\\c\\file.bin"));
  testing_support::RemoveTree(fw::Utf8(root));
}

TEST(ScopedComApartment, EntersForItsScopeAndKeepsAnApartmentOfAnotherKind) {
  // On fresh threads, as the finish's: each case runs alone on one.
  auto onThread = [](std::function<void()> body) { ASSERT_TRUE(fw::Thread::Start(std::move(body)).Join(10000)); };
  onThread([] {
    {
      const fw::ScopedComApartment com;
      EXPECT_TRUE(com.entered());
      EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);  // already in one
      ::CoUninitialize();
    }
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);  // left at the scope's end
    ::CoUninitialize();
  });
  onThread([] {
    ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      const fw::ScopedComApartment com;
      EXPECT_FALSE(com.entered());
    }
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);  // still the thread's own
    ::CoUninitialize();
    ::CoUninitialize();
  });
}
