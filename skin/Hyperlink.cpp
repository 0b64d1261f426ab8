#include "skin/Hyperlink.h"

#include <shellapi.h>
#include <windowsx.h>

#include "framework/Scoped.h"

CHyperlink::~CHyperlink() = default;

BEGIN_MESSAGE_MAP(CHyperlink, CStatic)
  ON_MESSAGE(WM_PAINT, OnPaint)
  ON_MESSAGE(WM_LBUTTONUP, OnLButtonUp)
  ON_MESSAGE(WM_LBUTTONDOWN, OnLButtonDown)
  ON_MESSAGE(WM_MOUSEMOVE, OnMouseMove)
  ON_MESSAGE(WM_ERASEBKGND, OnEraseBkgnd)
  ON_MESSAGE(WM_SETCURSOR, OnSetCursor)
  ON_MESSAGE(WM_MOUSELEAVE, OnMouseLeave)
END_MESSAGE_MAP()

void CHyperlink::PreSubclassWindow() {
  CStatic::PreSubclassWindow();
  BuildFont(m_fontNormal, 0);
  BuildFont(m_fontHover, 1);
  ::SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(GetStyle() | SS_NOTIFY | SS_OWNERDRAW));
}

void CHyperlink::BuildFont(fw::ScopedGdiObject& slot, int underline) {
  slot.reset();
  LOGFONTW description{};
  HFONT current = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
  if (!current) current = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  ::GetObjectW(current, sizeof description, &description);
  description.lfUnderline = static_cast<BYTE>(underline != 0);
  slot.reset(::CreateFontIndirectW(&description));
}

void CHyperlink::SetColors(COLORREF normal, COLORREF hover, COLORREF pressed) {
  m_crNormal = normal;
  m_crHover = hover;
  m_crPressed = pressed;
}

void CHyperlink::SetUnderline(int normal, int hover) {
  BuildFont(m_fontNormal, normal);
  BuildFont(m_fontHover, hover);
  Redraw();
}

void CHyperlink::Draw(HDC dc, const RECT& rect) {
  COLORREF color = m_crNormal;
  HGDIOBJ font = m_fontNormal.get();
  if (m_bPressed) {
    color = m_crPressed;
    font = m_fontHover.get();
  } else if (m_bHover) {
    color = m_crHover;
    font = m_fontHover.get();
  }
  ::SetBkMode(dc, TRANSPARENT);
  const std::wstring text = GetWindowText();
  ::SetTextColor(dc, color);
  fw::ScopedSelect select(dc, font);
  RECT r = rect;
  ::DrawTextW(dc, text.c_str(), -1, &r, DT_LEFT | DT_SINGLELINE | DT_VCENTER);
}

void CHyperlink::DrawItem(DRAWITEMSTRUCT* item) { Draw(item->hDC, item->rcItem); }

LRESULT CHyperlink::OnPaint(WPARAM, LPARAM) {
  fw::ScopedPaint paint(m_hWnd);
  Draw(paint.dc(), GetClientRect());
  return 0;
}

LRESULT CHyperlink::OnEraseBkgnd(WPARAM, LPARAM) { return TRUE; }

void CHyperlink::Redraw() {
  Invalidate(TRUE);
  // The text is transparent: the parent repaints what is behind it.
  RECT r = GetRectInParent();
  ::InvalidateRect(GetParent(), &r, TRUE);
}

LRESULT CHyperlink::OnMouseMove(WPARAM, LPARAM) {
  if (m_bPressed && ::GetCapture() == m_hWnd) {
    Redraw();
  } else if (!m_bHover) {
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_hWnd, 0};
    if (::TrackMouseEvent(&track)) {
      m_bHover = 1;
      Redraw();
    }
  }
  return Default();
}

LRESULT CHyperlink::OnMouseLeave(WPARAM, LPARAM) {
  m_bHover = 0;
  Redraw();
  return 0;
}

LRESULT CHyperlink::OnLButtonDown(WPARAM, LPARAM) {
  m_bPressed = 1;
  Redraw();
  ::SetCapture(m_hWnd);
  return 0;
}

LRESULT CHyperlink::OnLButtonUp(WPARAM, LPARAM lParam) {
  const LRESULT result = Default();
  m_bPressed = 0;
  Redraw();
  ::ReleaseCapture();
  POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  ::ClientToScreen(m_hWnd, &p);
  if (::WindowFromPoint(p) == m_hWnd) ::ShellExecuteW(nullptr, L"open", m_strURL.c_str(), nullptr, nullptr, SW_SHOW);
  return result;
}

LRESULT CHyperlink::OnSetCursor(WPARAM, LPARAM) {
  if (m_hLinkCursor) {
    ::SetCursor(m_hLinkCursor);
    return TRUE;
  }
  return Default();
}
