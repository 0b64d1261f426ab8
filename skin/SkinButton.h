// An owner-drawn button (also a check box or radio button) whose faces come
// from images drawn with GDI+ over a copy of the parent's painted
// background: a strip of equal frames, or layered images per state.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <vector>

#include "framework/Controls.h"
#include "framework/Scoped.h"
#include "skin/ImageDrawing.h"
#include "skin/SkinItems.h"

// Registered at program start, process-wide.
extern const UINT WM_SKIN_FLASH_BUTTON;      // wParam a DC, lParam a draw state
extern const UINT WM_SKIN_FLASH_TO_PARENT;   // registered only
extern const UINT WM_CANCEL_CHECKED_RADIO;   // "CancelCheckedRadio"

// How a strip of equal frames is taken.
struct StripLayout {
  int frames;             // at least 1
  bool resizeToFrame;     // the button takes one frame's size
  bool regionFromImage;   // the button is clipped to the first frame's opaque pixels
  bool lastFrameFlashes;  // the strip's last frame is the flash frame
  int stored1 = 0, stored2 = -1;  // kept, read nowhere
};

class CSkinButtonEx : public CButton {
 public:
  CSkinButtonEx() = default;
  ~CSkinButtonEx() override;

  bool SetStripImage(unsigned resourceId, const std::string& type, const StripLayout& layout);
  bool SetStripImageFile(const std::wstring& path, const StripLayout& layout);
  bool SetForegroundImage(unsigned resourceId, const std::string& type, int resize, int region);
  bool SetForegroundImageFile(const std::wstring& path, int resize, int region);
  void SetHoverImage(unsigned resourceId, const std::string& type);
  void SetPressedImage(unsigned resourceId, const std::string& type);
  void SetDisabledImage(unsigned resourceId, const std::string& type);
  void SetTextStyles(const StyledText& normal, const StyledText& hover, const StyledText& pressed,
                     const StyledText& disabled);
  // Keeps a copy of the parent's freshly painted background under the button.
  void CaptureBackground(HDC parentDc);

  void DrawItem(DRAWITEMSTRUCT* item) override;

  // State, for tests and owners.
  int FrameWidth() const { return m_frameWidth; }
  int FrameHeight() const { return m_frameHeight; }
  bool IsStripMode() const { return m_stripMode != 0; }
  bool IsChecked() const { return m_checked != 0; }

 protected:
  void PreSubclassWindow() override;

  LRESULT OnLButtonDblClk(WPARAM, LPARAM);
  LRESULT OnKeyDown(WPARAM, LPARAM);
  LRESULT OnKillFocus(WPARAM, LPARAM);
  LRESULT OnLButtonDown(WPARAM, LPARAM);
  LRESULT OnLButtonUp(WPARAM, LPARAM);
  LRESULT OnMouseMove(WPARAM, LPARAM);
  LRESULT OnEraseBkgnd(WPARAM, LPARAM);
  LRESULT OnCancelCheckedRadio(WPARAM, LPARAM);
  LRESULT OnGetCheck(WPARAM, LPARAM);
  LRESULT OnSetCheck(WPARAM, LPARAM);
  LRESULT OnMouseLeave(WPARAM, LPARAM);
  LRESULT OnSetCursor(WPARAM, LPARAM);
  LRESULT OnFlash(WPARAM, LPARAM);

  DECLARE_MESSAGE_MAP()

 private:
  void Render(HDC target, int state, bool drawParentBackground);
  void RenderStrip(HDC dc, const RECT& client, int state);
  void RenderLayered(HDC dc, const RECT& client, int state);
  void DrawText(HDC dc, const RECT& client, int state);
  void PaintParentBackground(HDC dc, const RECT& client);
  void FireClick(LPARAM point);
  void StopFlash();
  void Repaint();
  void Relay(UINT message, WPARAM wParam, LPARAM lParam);
  bool CursorOverButton() const;
  void FitTo(Gdiplus::Bitmap* image, int width, int height, int resize, int region);
  void TakeStrip(SkinImage image, const StripLayout& layout);

  fw::ScopedGdiObject m_bgBitmap;  // the parent's background under the button
  SkinImage m_stripImage;
  int32_t m_mouseDown = 0;
  int32_t m_hover = 0;
  int32_t m_checked = 0;
  int32_t m_frameCount = 0;
  int32_t m_frameWidth = 0;
  int32_t m_frameHeight = 0;
  int32_t m_buttonType = 0;
  HWND m_toolTip = nullptr;
  UINT m_notifyMessage = 0;
  int32_t m_clickMode = 1;
  std::vector<StyledText> m_textStyles;
  HCURSOR m_cursor = nullptr;
  int32_t m_drawParentBg = 1;
  int32_t m_hasFlashFrame = 0;
  int32_t m_storedParam1 = 0;
  HANDLE m_flashThread = nullptr;
  int32_t m_storedParam2 = -1;
  int32_t m_flashState = 0;
  int32_t m_stripMode = 1;
  SkinImage m_fgImage, m_hoverImage, m_pressedImage, m_disabledImage;
  POINT m_pressOffset{0, 0};
};
