#include "framework/Wnd.h"

#include <vector>

namespace {
const wchar_t kObjectProperty[] = L"Velnoria.Framework.Object";
}

CWnd::~CWnd() {
  if (m_hWnd && FromHandlePermanent(m_hWnd) == this) UnsubclassWindow();
}

CWnd* CWnd::FromHandlePermanent(HWND wnd) {
  return wnd ? static_cast<CWnd*>(::GetPropW(wnd, kObjectProperty)) : nullptr;
}

void CWnd::Attach(HWND wnd) {
  m_hWnd = wnd;
  ::SetPropW(wnd, kObjectProperty, this);
}

void CWnd::Detach() {
  if (m_hWnd) ::RemovePropW(m_hWnd, kObjectProperty);
  m_hWnd = nullptr;
}

bool CWnd::SubclassWindow(HWND wnd) {
  if (!wnd || m_hWnd || FromHandlePermanent(wnd)) return false;
  Attach(wnd);
  PreSubclassWindow();
  m_prevProc = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::StaticWndProc)));
  return true;
}

bool CWnd::CreateMessageWindow() {
  static const wchar_t kClass[] = L"Velnoria.Framework.MessageWindow";
  static const bool registered = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kClass;
    return ::RegisterClassW(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  }();
  if (!registered || m_hWnd) return false;
  HWND wnd = ::CreateWindowExW(0, kClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, ::GetModuleHandleW(nullptr), nullptr);
  if (!wnd) return false;
  if (SubclassWindow(wnd)) return true;
  ::DestroyWindow(wnd);
  return false;
}

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
  return parent && SubclassWindow(::GetDlgItem(parent->m_hWnd, static_cast<int>(id)));
}

HWND CWnd::UnsubclassWindow() {
  HWND wnd = m_hWnd;
  if (!wnd) return nullptr;
  if (m_prevProc) ::SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_prevProc));
  m_prevProc = nullptr;
  Detach();
  return wnd;
}

BOOL CWnd::PreTranslateMessage(MSG*) { return FALSE; }

void CWnd::DrawItem(DRAWITEMSTRUCT*) {}

bool CWnd::OnWndMsg(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
  // Reflect owner drawing to the control's own object.
  if (message == WM_DRAWITEM) {
    auto* item = reinterpret_cast<DRAWITEMSTRUCT*>(lParam);
    if (CWnd* control = FromHandlePermanent(item->hwndItem); control && control != this) {
      control->DrawItem(item);
      result = TRUE;
      return true;
    }
  }
  return false;
}

LRESULT CWnd::Default() {
  return ::CallWindowProcW(m_prevProc, m_hWnd, m_current.message, m_current.wParam, m_current.lParam);
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (OnWndMsg(message, wParam, lParam, result)) return result;
  return Default();
}

LRESULT CALLBACK CWnd::StaticWndProc(HWND wnd, UINT message, WPARAM wParam, LPARAM lParam) {
  CWnd* self = FromHandlePermanent(wnd);
  if (!self) return ::DefWindowProcW(wnd, message, wParam, lParam);
  const MSG saved = self->m_current;
  self->m_current = MSG{wnd, message, wParam, lParam, 0, {}};
  const LRESULT result = self->WindowProc(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    // The window is gone: give it its own procedure back and let the object go.
    self->m_current = saved;
    self->UnsubclassWindow();
    self->PostNcDestroy();
    return result;
  }
  self->m_current = saved;
  return result;
}

std::wstring CWnd::GetWindowText() const {
  const int length = ::GetWindowTextLengthW(m_hWnd);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  const int copied = ::GetWindowTextW(m_hWnd, text.data(), length + 1);
  text.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
  return text;
}

RECT CWnd::GetClientRect() const {
  RECT r{};
  ::GetClientRect(m_hWnd, &r);
  return r;
}

RECT CWnd::GetWindowRect() const {
  RECT r{};
  ::GetWindowRect(m_hWnd, &r);
  return r;
}

RECT CWnd::GetRectInParent() const {
  RECT r = GetWindowRect();
  ::MapWindowPoints(HWND_DESKTOP, ::GetParent(m_hWnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void CWnd::ScreenToClient(RECT* rect) const {
  ::MapWindowPoints(HWND_DESKTOP, m_hWnd, reinterpret_cast<POINT*>(rect), 2);
}

BOOL CWnd::ModifyStyle(DWORD remove, DWORD add, UINT swpFlags) {
  const DWORD style = GetStyle();
  const DWORD changed = (style & ~remove) | add;
  if (changed == style && !swpFlags) return FALSE;
  ::SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(changed));
  if (swpFlags)
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | swpFlags);
  return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD remove, DWORD add, UINT swpFlags) {
  const DWORD style = GetExStyle();
  const DWORD changed = (style & ~remove) | add;
  if (changed == style && !swpFlags) return FALSE;
  ::SetWindowLongW(m_hWnd, GWL_EXSTYLE, static_cast<LONG>(changed));
  if (swpFlags)
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | swpFlags);
  return TRUE;
}

void CWnd::CenterWindow() {
  // Over the owner when it is visible, else over the work area of the monitor.
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  RECT area{};
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &area);
  } else {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    ::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY), &info);
    area = info.rcWork;
  }
  const RECT r = GetWindowRect();
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int x = area.left + ((area.right - area.left) - w) / 2;
  const int y = area.top + ((area.bottom - area.top) - h) / 2;
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool WalkPreTranslateTree(HWND top, MSG* msg) {
  for (HWND wnd = msg->hwnd; wnd; wnd = ::GetParent(wnd)) {
    if (CWnd* object = CWnd::FromHandlePermanent(wnd))
      if (object->PreTranslateMessage(msg)) return true;
    if (wnd == top) break;
  }
  return false;
}
