#include "skin/SkinDialog.h"

#include <windowsx.h>

#include "framework/Controls.h"
#include "framework/Scoped.h"

SkinDialog::SkinDialog(UINT templateId, CWnd* parent) : CDialog(templateId, parent) {}

SkinDialog::~SkinDialog() = default;

BEGIN_MESSAGE_MAP(SkinDialog, CDialog)
  ON_MESSAGE(WM_NCACTIVATE, OnNcActivate)
  ON_MESSAGE(WM_NCCALCSIZE, OnNcCalcSize)
  ON_MESSAGE(WM_LBUTTONDOWN, OnLButtonDown)
  ON_MESSAGE(WM_GETMINMAXINFO, OnGetMinMaxInfo)
  ON_MESSAGE(WM_SIZE, OnSize)
  ON_MESSAGE(WM_MOUSEMOVE, OnMouseMove)
  ON_MESSAGE(WM_ERASEBKGND, OnEraseBkgnd)
  ON_MESSAGE(WM_LBUTTONDBLCLK, OnLButtonDblClk)
END_MESSAGE_MAP()

void SkinDialog::SetCornerRadii(int topLeft, int topRight, int bottomLeft, int bottomRight) {
  m_cornerTopLeft = topLeft;
  m_cornerTopRight = topRight;
  m_cornerBottomLeft = bottomLeft;
  m_cornerBottomRight = bottomRight;
}

void SkinDialog::SetTitleText(const std::wstring& text, const std::wstring& face, uint32_t argb, int x, int y,
                              float size, int bold) {
  StyledText title;
  title.text = text;
  title.face = face;
  title.size = size;
  title.color = argb;
  title.style = bold ? 1 : 0;
  title.outlineWidth = 0;
  title.outlineColor = 0xFF000000;
  title.shadow = 0;
  title.shadowDx = title.shadowDy = 1;
  title.shadowColor = 0x80000000;
  title.boxX = static_cast<float>(x);
  title.boxY = static_cast<float>(y);
  title.boxWidth = 300;
  title.boxHeight = 30;
  title.alignment = AlignTop | AlignLeft;
  title.windowRelative = 1;
  title.ellipsis = 1;
  SetText(title);
}

BOOL SkinDialog::OnInitDialog() {
  CDialog::OnInitDialog();
  ModifyStyle(WS_CAPTION, 0, SWP_FRAMECHANGED);
  m_resizable = (GetStyle() & WS_THICKFRAME) ? 1 : 0;
  return TRUE;
}

void SkinDialog::UpdateWindowRegion(HWND wnd) {
  RECT r{};
  ::GetWindowRect(wnd, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HRGN region = ::CreateRectRgn(0, 0, w, h);
  auto cut = [region](int l, int t, int rr, int b, int el, int et, int er, int eb) {
    fw::ScopedGdiObject square(::CreateRectRgn(l, t, rr, b));
    ::CombineRgn(region, region, static_cast<HRGN>(square.get()), RGN_XOR);
    fw::ScopedGdiObject ellipse(::CreateEllipticRgn(el, et, er, eb));
    ::CombineRgn(region, region, static_cast<HRGN>(ellipse.get()), RGN_OR);
  };
  if (int d = m_cornerTopLeft) cut(0, 0, d / 2, d / 2, 0, 0, d, d);
  if (int d = m_cornerTopRight) cut(w - d / 2, 0, w, d / 2, w - d + 1, 0, w + 1, d);
  if (int d = m_cornerBottomLeft) cut(0, h - d / 2, d / 2, h, 0, h - d, d, h);
  if (int d = m_cornerBottomRight) cut(w - d / 2, h - d / 2, w, h, w - d + 1, h - d, w + 1, h);
  ::SetWindowRgn(wnd, region, TRUE);  // the window owns it now
}

bool SkinDialog::AimedAtButton(const MSG* msg) {
  return dynamic_cast<CButton*>(CWnd::FromHandlePermanent(msg->hwnd)) != nullptr;
}

BOOL SkinDialog::PreTranslateMessage(MSG* msg) {
  if (msg->message == WM_KEYDOWN && AimedAtButton(msg)) {
    const WPARAM key = msg->wParam;
    if ((key == VK_SPACE && m_eatSpace) || (key == VK_ESCAPE && m_eatEscape) || (key == VK_RETURN && m_eatReturn))
      return TRUE;
  }
  return CDialog::PreTranslateMessage(msg);
}

LRESULT SkinDialog::OnNcActivate(WPARAM, LPARAM) { return TRUE; }

LRESULT SkinDialog::OnNcCalcSize(WPARAM, LPARAM) { return 0; }

bool SkinDialog::SizingBand(POINT p, LPCWSTR& cursor, int& hitTest) const {
  const RECT c = GetClientRect();
  const int w = c.right - c.left, h = c.bottom - c.top;
  const bool left = p.x < 7, right = w - p.x < 7, top = p.y < 7, bottom = h - p.y < 7;
  struct Row {
    bool match;
    LPCWSTR cursor;
    int hit;
  };
  const Row rows[] = {
      {left && top, IDC_SIZENWSE, HTTOPLEFT},        {right && top, IDC_SIZENESW, HTTOPRIGHT},
      {left && bottom, IDC_SIZENESW, HTBOTTOMLEFT},  {right && bottom, IDC_SIZENWSE, HTBOTTOMRIGHT},
      {left, IDC_SIZEWE, HTLEFT},                    {right, IDC_SIZEWE, HTRIGHT},
      {top, IDC_SIZENS, HTTOP},                      {bottom, IDC_SIZENS, HTBOTTOM},
  };
  for (const Row& row : rows)
    if (row.match) {
      cursor = row.cursor;
      hitTest = row.hit;
      return true;
    }
  return false;
}

LRESULT SkinDialog::OnLButtonDown(WPARAM, LPARAM lParam) {
  const LRESULT result = Default();
  const POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  const LPARAM packed = MAKELPARAM(p.x, p.y);
  LPCWSTR cursor = nullptr;
  int hit = 0;
  if (m_resizable && SizingBand(p, cursor, hit)) {
    ::SetCursor(::LoadCursorW(nullptr, cursor));
    SendMessage(WM_NCLBUTTONDOWN, static_cast<WPARAM>(hit), packed);
  }
  if (m_captionHeight && p.y <= m_captionHeight) PostMessage(WM_NCLBUTTONDOWN, HTCAPTION, packed);
  return result;
}

LRESULT SkinDialog::OnMouseMove(WPARAM keys, LPARAM lParam) {
  if (keys == 0 && m_resizable) {
    LPCWSTR cursor = nullptr;
    int hit = 0;
    if (SizingBand({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}, cursor, hit))
      ::SetCursor(::LoadCursorW(nullptr, cursor));
    return 0;
  }
  return Default();
}

LRESULT SkinDialog::OnGetMinMaxInfo(WPARAM, LPARAM lParam) {
  auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
  info->ptMaxSize.x = ::GetSystemMetrics(SM_CXFRAME) + ::GetSystemMetrics(SM_CXFULLSCREEN);
  info->ptMaxSize.y =
      ::GetSystemMetrics(SM_CYFRAME) + ::GetSystemMetrics(SM_CYFULLSCREEN) + ::GetSystemMetrics(SM_CYCAPTION);
  if (m_minTrackWidth > 0 && m_minTrackHeight > 0) {
    info->ptMinTrackSize.x = m_minTrackWidth;
    info->ptMinTrackSize.y = m_minTrackHeight;
  }
  return Default();
}

LRESULT SkinDialog::OnSize(WPARAM, LPARAM) {
  const LRESULT result = Default();
  UpdateWindowRegion(m_hWnd);
  Invalidate(TRUE);
  return result;
}

LRESULT SkinDialog::OnEraseBkgnd(WPARAM wParam, LPARAM) {
  HDC dc = reinterpret_cast<HDC>(wParam);
  const RECT client = GetClientRect();
  RECT box{};
  if (::GetClipBox(dc, &box) == NULLREGION || ::IsRectEmpty(&box)) box = client;
  bool stale = false;
  HDC cache = m_background.Get(dc, {client.right - client.left, client.bottom - client.top, PaintListVersion(), m_backColor},
                               stale);
  // The overlay sees what this erase covers; only that part is copied.
  m_paintBox = box;
  if (!cache) {
    // No bitmap for a picture: paint straight into the window.
    ComposeBackground(dc, client);
    PaintOverlay(dc);
    return TRUE;
  }
  if (stale) ComposeBackground(cache, client);
  PaintOverlay(cache);
  ::BitBlt(dc, box.left, box.top, box.right - box.left, box.bottom - box.top, cache, box.left, box.top, SRCCOPY);
  return TRUE;
}

void SkinDialog::ComposeBackground(HDC dc, const RECT& client) {
  fw::ScopedGdiObject back(::CreateSolidBrush(m_backColor));
  ::FillRect(dc, &client, static_cast<HBRUSH>(back.get()));
  PaintBackground(m_hWnd, dc, client);
}

LRESULT SkinDialog::OnLButtonDblClk(WPARAM, LPARAM lParam) {
  if ((GetStyle() & WS_MAXIMIZEBOX) && m_captionHeight && GET_Y_LPARAM(lParam) <= m_captionHeight)
    ShowWindow(::IsZoomed(m_hWnd) ? SW_RESTORE : SW_MAXIMIZE);
  return Default();
}
