// A static text turned into a link: colour and font follow the mouse, its own
// cursor, and the shell opens the target when released over it.
#pragma once

#include "framework/Scoped.h"

#include <string>

#include "framework/Controls.h"

class CHyperlink : public CStatic {
 public:
  CHyperlink() = default;
  ~CHyperlink() override;

  void SetURL(const std::wstring& url) { m_strURL = url; }
  void SetColors(COLORREF normal, COLORREF hover, COLORREF pressed);
  void SetLinkCursor(HCURSOR cursor) { m_hLinkCursor = cursor; }
  void SetUnderline(int normal, int hover);

  void DrawItem(DRAWITEMSTRUCT* item) override;

  bool IsHover() const { return m_bHover != 0; }
  bool IsPressed() const { return m_bPressed != 0; }

 protected:
  void PreSubclassWindow() override;

  LRESULT OnPaint(WPARAM, LPARAM);
  LRESULT OnLButtonUp(WPARAM, LPARAM);
  LRESULT OnLButtonDown(WPARAM, LPARAM);
  LRESULT OnMouseMove(WPARAM, LPARAM);
  LRESULT OnEraseBkgnd(WPARAM, LPARAM);
  LRESULT OnSetCursor(WPARAM, LPARAM);
  LRESULT OnMouseLeave(WPARAM, LPARAM);

  DECLARE_MESSAGE_MAP()

 private:
  void BuildFont(fw::ScopedGdiObject& slot, int underline);
  void Draw(HDC dc, const RECT& rect);
  void Redraw();

  COLORREF m_crNormal = CLR_INVALID;
  COLORREF m_crHover = CLR_INVALID;
  COLORREF m_crPressed = CLR_INVALID;
  int32_t m_bHover = 0;
  int32_t m_bPressed = 0;
  std::wstring m_strURL;
  fw::ScopedGdiObject m_fontHover;
  fw::ScopedGdiObject m_fontNormal;
  HCURSOR m_hLinkCursor = nullptr;
};
