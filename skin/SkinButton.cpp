#include "skin/SkinButton.h"

#include <windowsx.h>

#include "framework/Scoped.h"
#include "skin/SkinGeometry.h"
#include "skin/StyledTextDrawing.h"

using namespace Gdiplus;

const UINT WM_SKIN_FLASH_BUTTON = ::RegisterWindowMessageW(L"*_RegisterWindowMessageSkinFlashButton_*");
const UINT WM_SKIN_FLASH_TO_PARENT =
    ::RegisterWindowMessageW(L"*_RegisterWindowMessageSendToParentWndFromSkinFlashButton_*");
const UINT WM_CANCEL_CHECKED_RADIO = ::RegisterWindowMessageW(L"CancelCheckedRadio");

namespace {

constexpr int kAutoCheckBox = BS_AUTOCHECKBOX;      // 3
constexpr int kAutoRadioButton = BS_AUTORADIOBUTTON;  // 9

void DrawStretched(Graphics& g, Bitmap* image, const RECT& client, int dx = 0, int dy = 0,
                   ImageAttributes* attributes = nullptr, int srcX = 0, int srcW = -1, int srcH = -1) {
  if (!image) return;
  const int w = srcW < 0 ? static_cast<int>(image->GetWidth()) : srcW;
  const int h = srcH < 0 ? static_cast<int>(image->GetHeight()) : srcH;
  g.DrawImage(image, Rect(client.left + dx, client.top + dy, client.right - client.left, client.bottom - client.top),
              srcX, 0, w, h, UnitPixel, attributes);
}

}  // namespace

CSkinButtonEx::~CSkinButtonEx() {
  if (m_flashThread) ::SuspendThread(m_flashThread);
}

BEGIN_MESSAGE_MAP(CSkinButtonEx, CButton)
  ON_MESSAGE(WM_LBUTTONDBLCLK, OnLButtonDblClk)
  ON_MESSAGE(WM_KEYDOWN, OnKeyDown)
  ON_MESSAGE(WM_KILLFOCUS, OnKillFocus)
  ON_MESSAGE(WM_LBUTTONDOWN, OnLButtonDown)
  ON_MESSAGE(WM_LBUTTONUP, OnLButtonUp)
  ON_MESSAGE(WM_MOUSEMOVE, OnMouseMove)
  ON_MESSAGE(WM_ERASEBKGND, OnEraseBkgnd)
  ON_REGISTERED_MESSAGE(WM_CANCEL_CHECKED_RADIO, OnCancelCheckedRadio)
  ON_MESSAGE(BM_GETCHECK, OnGetCheck)
  ON_MESSAGE(BM_SETCHECK, OnSetCheck)
  ON_MESSAGE(WM_MOUSELEAVE, OnMouseLeave)
  ON_MESSAGE(WM_SETCURSOR, OnSetCursor)
  ON_REGISTERED_MESSAGE(WM_SKIN_FLASH_BUTTON, OnFlash)
END_MESSAGE_MAP()

void CSkinButtonEx::PreSubclassWindow() {
  CButton::PreSubclassWindow();
  m_buttonType = static_cast<int32_t>(GetStyle() & 0xFF);
  ::SetWindowLongW(m_hWnd, GWL_STYLE, static_cast<LONG>(GetStyle() | BS_OWNERDRAW));
}

void CSkinButtonEx::FitTo(Bitmap* image, int width, int height, int resize, int region) {
  if (resize) SetWindowPos(nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (region) ApplyImageRegion(m_hWnd, image, 0, 0, width, height);
}

void CSkinButtonEx::TakeStrip(SkinImage image, const StripLayout& layout) {
  m_stripImage = std::move(image);
  m_frameCount = layout.frames;
  m_frameWidth = static_cast<int32_t>(m_stripImage->GetWidth() / static_cast<unsigned>(layout.frames));
  m_frameHeight = static_cast<int32_t>(m_stripImage->GetHeight());
  m_hasFlashFrame = layout.lastFrameFlashes ? 1 : 0;
  m_storedParam1 = layout.stored1;
  m_storedParam2 = layout.stored2;
  FitTo(m_stripImage.get(), m_frameWidth, m_frameHeight, layout.resizeToFrame, layout.regionFromImage);
}

bool CSkinButtonEx::SetStripImage(unsigned resourceId, const std::string& type, const StripLayout& layout) {
  m_stripImage.reset();  // a failed load leaves no strip
  SkinImage image = LoadResourceImage(resourceId, type);
  if (!image || layout.frames < 1) return false;
  TakeStrip(std::move(image), layout);
  return true;
}

bool CSkinButtonEx::SetStripImageFile(const std::wstring& path, const StripLayout& layout) {
  SkinImage image = LoadFileImage(path);
  // A file that cannot be decoded, or whose frames would be 0 pixels wide or
  // high, keeps the current strip and size.
  if (!image || layout.frames < 1 || image->GetWidth() / static_cast<unsigned>(layout.frames) == 0 ||
      image->GetHeight() == 0)
    return false;
  TakeStrip(std::move(image), layout);
  return true;
}

bool CSkinButtonEx::SetForegroundImage(unsigned resourceId, const std::string& type, int resize, int region) {
  m_fgImage.reset();
  m_fgImage = LoadResourceImage(resourceId, type);
  if (!m_fgImage) return false;
  m_frameWidth = static_cast<int32_t>(m_fgImage->GetWidth());
  m_frameHeight = static_cast<int32_t>(m_fgImage->GetHeight());
  FitTo(m_fgImage.get(), m_frameWidth, m_frameHeight, resize, region);
  m_stripMode = 0;
  return true;
}

bool CSkinButtonEx::SetForegroundImageFile(const std::wstring& path, int resize, int region) {
  SkinImage image = LoadFileImage(path);
  if (!image || image->GetWidth() == 0) return false;
  m_fgImage = std::move(image);
  m_frameWidth = static_cast<int32_t>(m_fgImage->GetWidth());
  m_frameHeight = static_cast<int32_t>(m_fgImage->GetHeight());
  FitTo(m_fgImage.get(), m_frameWidth, m_frameHeight, resize, region);
  m_stripMode = 0;
  return true;
}

void CSkinButtonEx::SetHoverImage(unsigned resourceId, const std::string& type) {
  m_hoverImage = LoadResourceImage(resourceId, type);
}
void CSkinButtonEx::SetPressedImage(unsigned resourceId, const std::string& type) {
  m_pressedImage = LoadResourceImage(resourceId, type);
}
void CSkinButtonEx::SetDisabledImage(unsigned resourceId, const std::string& type) {
  m_disabledImage = LoadResourceImage(resourceId, type);
}

void CSkinButtonEx::SetTextStyles(const StyledText& normal, const StyledText& hover, const StyledText& pressed,
                                  const StyledText& disabled) {
  m_textStyles = {normal, hover, pressed, disabled};
}

void CSkinButtonEx::CaptureBackground(HDC parentDc) {
  if (!parentDc) return;
  const RECT r = GetRectInParent();
  const int w = r.right - r.left, h = r.bottom - r.top;
  fw::ScopedGdiObject copy(::CreateCompatibleBitmap(parentDc, w, h));
  {
    fw::ScopedMemoryDc memory(::CreateCompatibleDC(parentDc));
    fw::ScopedSelect select(memory.get(), copy.get());
    ::BitBlt(memory.get(), 0, 0, w, h, parentDc, r.left, r.top, SRCCOPY);
  }
  m_bgBitmap = std::move(copy);
}

bool CSkinButtonEx::CursorOverButton() const {
  POINT p;
  ::GetCursorPos(&p);
  return ::WindowFromPoint(p) == m_hWnd;
}

void CSkinButtonEx::DrawItem(DRAWITEMSTRUCT* item) {
  if (m_mouseDown && ::GetCapture() == m_hWnd) {
    const bool over = CursorOverButton();
    const bool pushed = (GetState() & BST_PUSHED) != 0;
    if (over != pushed) {
      SetState(over);
      return;  // the change brings a new draw request
    }
  }
  const int state = skin::ChooseDrawState((item->itemState & ODS_DISABLED) != 0, (item->itemState & ODS_SELECTED) != 0,
                                          m_checked != 0, m_hover != 0, (item->itemState & ODS_FOCUS) != 0,
                                          m_flashState);
  if (m_flashState == 1) return;  // the flash driver draws
  Render(item->hDC, state, m_drawParentBg != 0);
}

void CSkinButtonEx::Render(HDC target, int state, bool drawParentBackground) {
  const RECT client = GetClientRect();
  const int w = client.right - client.left, h = client.bottom - client.top;
  if (m_stripMode && !m_stripImage) return;
  fw::ScopedMemoryDc memory(::CreateCompatibleDC(target));
  fw::ScopedGdiObject bitmap(::CreateCompatibleBitmap(target, w, h));
  fw::ScopedSelect select(memory.get(), bitmap.get());
  if (drawParentBackground) PaintParentBackground(memory.get(), client);
  if (m_stripMode)
    RenderStrip(memory.get(), client, state);
  else
    RenderLayered(memory.get(), client, state);
  DrawText(memory.get(), client, state);
  ::BitBlt(target, 0, 0, w, h, memory.get(), 0, 0, SRCCOPY);
}

void CSkinButtonEx::PaintParentBackground(HDC dc, const RECT& client) {
  if (!m_bgBitmap) {
    fw::ScopedWindowDc parent(GetParent());
    CaptureBackground(parent.get());
  }
  if (!m_bgBitmap) return;
  BITMAP info{};
  ::GetObjectW(m_bgBitmap.get(), sizeof info, &info);
  fw::ScopedMemoryDc source(::CreateCompatibleDC(dc));
  fw::ScopedSelect select(source.get(), m_bgBitmap.get());
  ::StretchBlt(dc, 0, 0, client.right - client.left, client.bottom - client.top, source.get(), 0, 0, info.bmWidth,
               info.bmHeight, SRCCOPY);
}

void CSkinButtonEx::RenderStrip(HDC dc, const RECT& client, int state) {
  Graphics g(dc);
  const int frame = skin::StripFrameOf(state, m_frameCount, m_hasFlashFrame != 0);
  if (frame >= 0) {
    DrawStretched(g, m_stripImage.get(), client, 0, 0, nullptr, frame * m_frameWidth, m_frameWidth, m_frameHeight);
    return;
  }
  ImageAttributes attributes;
  if (state == skin::StateHover || state == skin::StateFlash) {
    ColorMatrix brighten = {{{1.05f, 0, 0, 0, 0},
                             {0, 1.05f, 0, 0, 0},
                             {0, 0, 1.05f, 0, 0},
                             {0, 0, 0, 1, 0},
                             {0.05f, 0.05f, 0.05f, 0, 1}}};
    attributes.SetColorMatrix(&brighten);
    DrawStretched(g, m_stripImage.get(), client, 0, 0, &attributes, 0, m_frameWidth, m_frameHeight);
  } else if (state == skin::StatePressed) {
    DrawStretched(g, m_stripImage.get(), client, m_pressOffset.x, m_pressOffset.y, nullptr, 0, m_frameWidth,
                  m_frameHeight);
  } else if (state == skin::StateDisabled) {
    ColorMatrix grey = {{{0.3f, 0.3f, 0.3f, 0, 0},
                         {0.59f, 0.59f, 0.59f, 0, 0},
                         {0.11f, 0.11f, 0.11f, 0, 0},
                         {0, 0, 0, 1, 0},
                         {0, 0, 0, 0, 1}}};
    attributes.SetColorMatrix(&grey);
    DrawStretched(g, m_stripImage.get(), client, 0, 0, &attributes, 0, m_frameWidth, m_frameHeight);
  } else {
    DrawStretched(g, m_stripImage.get(), client, 0, 0, nullptr, 0, m_frameWidth, m_frameHeight);
  }
}

void CSkinButtonEx::RenderLayered(HDC dc, const RECT& client, int state) {
  Graphics g(dc);
  switch (state) {
    case skin::StateHover:
      DrawStretched(g, m_hoverImage.get(), client);
      DrawStretched(g, m_fgImage.get(), client);
      break;
    case skin::StatePressed:
      if (m_pressedImage) {
        DrawStretched(g, m_pressedImage.get(), client);
        DrawStretched(g, m_fgImage.get(), client, m_pressOffset.x, m_pressOffset.y);
      } else {
        DrawStretched(g, m_fgImage.get(), client);
      }
      break;
    case skin::StateDisabled:
      DrawStretched(g, m_disabledImage ? m_disabledImage.get() : m_fgImage.get(), client);
      break;
    default:
      DrawStretched(g, m_fgImage.get(), client);
      break;
  }
}

void CSkinButtonEx::DrawText(HDC dc, const RECT& client, int state) {
  if (!m_textStyles.empty()) {
    const size_t index = static_cast<size_t>(state) < m_textStyles.size() ? static_cast<size_t>(state) : 0;
    DrawStyledText(m_hWnd, dc, m_textStyles[index]);
    return;
  }
  const std::wstring text = GetWindowText();
  HFONT font = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
  fw::ScopedSelect select(dc, font);
  ::SetBkMode(dc, TRANSPARENT);
  RECT r = client;
  if (state == skin::StatePressed) ::OffsetRect(&r, 1, 1);
  ::DrawTextW(dc, text.c_str(), -1, &r, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
}

void CSkinButtonEx::Repaint() {
  if (m_hasFlashFrame && m_flashState == 1) return;
  Invalidate(TRUE);
}

void CSkinButtonEx::Relay(UINT message, WPARAM wParam, LPARAM lParam) {
  if (!m_toolTip) return;
  MSG msg{m_hWnd, message, wParam, lParam, 0, {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}};
  ::SendMessageW(m_toolTip, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(&msg));
}

void CSkinButtonEx::FireClick(LPARAM point) {
  POINT p{GET_X_LPARAM(point), GET_Y_LPARAM(point)};
  ::ClientToScreen(m_hWnd, &p);
  if (::WindowFromPoint(p) != m_hWnd) return;
  if (m_buttonType == kAutoCheckBox)
    SendMessage(BM_SETCHECK, m_checked ? BST_UNCHECKED : BST_CHECKED);
  else if (m_buttonType == kAutoRadioButton)
    SendMessage(BM_SETCHECK, BST_CHECKED);
  ::PostMessageW(GetParent(), m_notifyMessage, 0, 0);
}

void CSkinButtonEx::StopFlash() {
  if (m_hasFlashFrame && m_flashThread) {
    m_flashState = 3;
    m_flashThread = nullptr;
    Repaint();
  }
}

LRESULT CSkinButtonEx::OnLButtonDown(WPARAM, LPARAM lParam) {
  Relay(WM_LBUTTONDOWN, GetCurrentMessage().wParam, lParam);
  if (m_hover) {
    TRACKMOUSEEVENT cancel{sizeof cancel, TME_LEAVE | TME_CANCEL, m_hWnd, 0};
    if (::TrackMouseEvent(&cancel)) m_hover = 0;
  }
  if (m_clickMode == 0) FireClick(lParam);
  StopFlash();
  const LRESULT result = Default();
  m_mouseDown = 1;
  return result;
}

LRESULT CSkinButtonEx::OnLButtonUp(WPARAM wParam, LPARAM lParam) {
  Relay(WM_LBUTTONUP, wParam, lParam);
  if (m_clickMode == 1) FireClick(lParam);
  m_mouseDown = 0;
  return Default();
}

LRESULT CSkinButtonEx::OnLButtonDblClk(WPARAM wParam, LPARAM lParam) {
  return SendMessage(WM_LBUTTONDOWN, wParam, lParam);
}

LRESULT CSkinButtonEx::OnMouseMove(WPARAM wParam, LPARAM lParam) {
  Relay(WM_MOUSEMOVE, wParam, lParam);
  if (m_mouseDown && ::GetCapture() == m_hWnd) {
    const bool over = CursorOverButton();
    if (over != ((GetState() & BST_PUSHED) != 0)) {
      SetState(over);
      Repaint();
    }
  } else if (!m_hover) {
    TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, m_hWnd, 0};
    if (::TrackMouseEvent(&track)) {
      if (m_clickMode == 2) FireClick(lParam);
      m_hover = 1;
      Repaint();
    }
  }
  return Default();
}

LRESULT CSkinButtonEx::OnMouseLeave(WPARAM, LPARAM) {
  m_hover = 0;
  Repaint();
  return 1;
}

LRESULT CSkinButtonEx::OnKillFocus(WPARAM, LPARAM) {
  const LRESULT result = Default();
  if (::GetCapture() == m_hWnd) {
    ::ReleaseCapture();
    m_mouseDown = 0;
  }
  return result;
}

LRESULT CSkinButtonEx::OnSetCursor(WPARAM, LPARAM) {
  if (m_cursor) {
    ::SetCursor(m_cursor);
    return TRUE;
  }
  return Default();
}

LRESULT CSkinButtonEx::OnEraseBkgnd(WPARAM, LPARAM) { return TRUE; }

LRESULT CSkinButtonEx::OnGetCheck(WPARAM, LPARAM) { return m_checked; }

LRESULT CSkinButtonEx::OnSetCheck(WPARAM check, LPARAM) {
  m_checked = static_cast<int32_t>(check);
  if (m_buttonType == kAutoRadioButton && m_checked) {
    HWND parent = GetParent();
    for (HWND other = ::GetNextDlgGroupItem(parent, m_hWnd, FALSE); other && other != m_hWnd;
         other = ::GetNextDlgGroupItem(parent, other, FALSE))
      ::PostMessageW(other, WM_CANCEL_CHECKED_RADIO, 0, 0);
  }
  if (m_buttonType == BS_PUSHBUTTON) m_checked = 0;
  Repaint();
  return 1;
}

LRESULT CSkinButtonEx::OnCancelCheckedRadio(WPARAM, LPARAM) {
  if (m_buttonType == kAutoRadioButton && m_checked) {
    m_checked = 0;
    Repaint();
  }
  return 1;
}

LRESULT CSkinButtonEx::OnKeyDown(WPARAM key, LPARAM) {
  if (key == VK_SPACE) {
    if (m_buttonType == kAutoCheckBox)
      SendMessage(BM_SETCHECK, m_checked ? BST_UNCHECKED : BST_CHECKED);
    else if (m_buttonType == kAutoRadioButton)
      SendMessage(BM_SETCHECK, BST_CHECKED);
  }
  return Default();
}

LRESULT CSkinButtonEx::OnFlash(WPARAM dc, LPARAM state) {
  if (m_hasFlashFrame && static_cast<int>(state) >= 0 && m_stripImage) {
    const RECT client = GetClientRect();
    RenderStrip(reinterpret_cast<HDC>(dc), client, static_cast<int>(state));
  }
  return 1;
}
