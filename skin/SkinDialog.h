// A resource dialog turned into a skinned window: no caption or frame, a
// rounded region, dragged by a strip at the top, optionally sized by a band
// along the edges, painted double-buffered from its paint list.
#pragma once

#include "framework/Dialog.h"
#include "skin/BackgroundCache.h"
#include "skin/SkinPainter.h"

class SkinDialog : public CDialog, public SkinPainter {
 public:
  SkinDialog(UINT templateId, CWnd* parent);
  ~SkinDialog() override;

  void SetCaptionHeight(int height) { m_captionHeight = height; }
  // Corner ellipse diameters; the region follows at the next WM_SIZE.
  void SetCornerRadii(int topLeft, int topRight, int bottomLeft, int bottomRight);
  void SetTitleText(const std::wstring& text, const std::wstring& face, uint32_t argb, int x, int y, float size,
                    int bold);
  void UpdateWindowRegion(HWND wnd);

  BOOL PreTranslateMessage(MSG* msg) override;
  // The message's target is a button (a skin button included).
  static bool AimedAtButton(const MSG* msg);

 protected:
  void DoDataExchange(CDataExchange*) override {}
  BOOL OnInitDialog() override;

  LRESULT OnNcActivate(WPARAM, LPARAM);
  LRESULT OnNcCalcSize(WPARAM, LPARAM);
  LRESULT OnLButtonDown(WPARAM, LPARAM);
  LRESULT OnGetMinMaxInfo(WPARAM, LPARAM);
  LRESULT OnSize(WPARAM, LPARAM);
  LRESULT OnMouseMove(WPARAM, LPARAM);
  LRESULT OnEraseBkgnd(WPARAM, LPARAM);
  LRESULT OnLButtonDblClk(WPARAM, LPARAM);

  DECLARE_MESSAGE_MAP()

  int32_t m_minTrackWidth = 0;
  int32_t m_minTrackHeight = 0;
  int32_t m_resizable = 0;
  int32_t m_captionHeight = 0;
  int32_t m_cornerTopLeft = 0;
  int32_t m_cornerTopRight = 0;
  int32_t m_cornerBottomLeft = 0;
  int32_t m_cornerBottomRight = 0;
  COLORREF m_backColor = RGB(255, 255, 255);
  int32_t m_eatSpace = 1;
  int32_t m_eatEscape = 1;
  int32_t m_eatReturn = 0;
  // The client area the current background paint covers.
  RECT m_paintBox{};

 private:
  // The fill colour and the paint list, into `dc`.
  void ComposeBackground(HDC dc, const RECT& client);
  // The sizing band's cursor and hit-test code at a client point, or false.
  bool SizingBand(POINT point, LPCWSTR& cursor, int& hitTest) const;

  BackgroundCache m_background;
};
