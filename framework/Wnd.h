// CWnd: a C++ object bound to a window handle. The window's procedure is
// replaced by a thin static one that finds the object and hands it the
// message; the object's message map decides, and unhandled messages go to
// the procedure the window had before.
#pragma once

#include <windows.h>

#include <string>

#include "framework/MessageMap.h"

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;
  HWND GetSafeHwnd() const { return m_hWnd; }

  // The object bound to a window by this framework, or null.
  static CWnd* FromHandlePermanent(HWND wnd);

  bool SubclassWindow(HWND wnd);
  // A message-only window of this object's own (posted messages, timers);
  // false when none could be made.
  bool CreateMessageWindow();
  void DestroyWindow() {
    if (m_hWnd) ::DestroyWindow(m_hWnd);
  }
  bool SubclassDlgItem(UINT id, CWnd* parent);
  HWND UnsubclassWindow();

  virtual BOOL PreTranslateMessage(MSG* msg);
  // An owner-drawn control draws itself: its parent's WM_DRAWITEM comes here.
  virtual void DrawItem(DRAWITEMSTRUCT* item);

  // Thin wrappers used by the system.
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  HWND GetParent() const { return ::GetParent(m_hWnd); }
  BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
  BOOL EnableWindow(BOOL enable = TRUE) { return ::EnableWindow(m_hWnd, enable); }
  BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
  BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
  void SetWindowText(const std::wstring& text) { ::SetWindowTextW(m_hWnd, text.c_str()); }
  std::wstring GetWindowText() const;
  void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
  void InvalidateRect(const RECT* rect, BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, rect, erase); }
  RECT GetClientRect() const;
  RECT GetWindowRect() const;
  // The window rectangle in the parent's client coordinates.
  RECT GetRectInParent() const;
  void ScreenToClient(RECT* rect) const;
  BOOL SetWindowPos(HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
    return ::SetWindowPos(m_hWnd, insertAfter, x, y, cx, cy, flags);
  }
  BOOL ModifyStyle(DWORD remove, DWORD add, UINT swpFlags = 0);
  BOOL ModifyStyleEx(DWORD remove, DWORD add, UINT swpFlags = 0);
  DWORD GetStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_STYLE)); }
  DWORD GetExStyle() const { return static_cast<DWORD>(::GetWindowLongW(m_hWnd, GWL_EXSTYLE)); }
  void CenterWindow();
  LRESULT SendMessage(UINT message, WPARAM w = 0, LPARAM l = 0) { return ::SendMessageW(m_hWnd, message, w, l); }
  BOOL PostMessage(UINT message, WPARAM w = 0, LPARAM l = 0) { return ::PostMessageW(m_hWnd, message, w, l); }

 protected:
  // Entry of the message maps; the base map handles nothing.
  virtual bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
  virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
  // Called once the handle is known, before messages are routed to the object.
  virtual void PreSubclassWindow() {}
  // Called after the window's last message.
  virtual void PostNcDestroy() {}

  // The message being handled, given to the window's previous procedure.
  LRESULT Default();
  const MSG& GetCurrentMessage() const { return m_current; }

  // Binding used by dialogs, which attach before their procedure is replaced.
  void Attach(HWND wnd);
  void Detach();
  WNDPROC m_prevProc = nullptr;

 private:
  static LRESULT CALLBACK StaticWndProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam);
  MSG m_current{};
};

// Runs `PreTranslateMessage` of the framework objects from the message's
// target up through its parents; true when one of them took the message.
bool WalkPreTranslateTree(HWND top, MSG* msg);
