#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Controls.h"
#include "framework/Dialog.h"

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
  EXPECT_EQ(w.GetWindowText(), "changed");
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
    log.push_back("button " + label.GetWindowText());
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
