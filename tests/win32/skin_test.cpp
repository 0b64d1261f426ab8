// The skin toolkit drawing into memory device contexts, read back pixel by pixel.
#include <gtest/gtest.h>

#include <windows.h>

#include <cmath>
#include <memory>

#include "TestSupport.h"
#include "framework/Scoped.h"
#include "skin/Hyperlink.h"
#include "skin/ImageDrawing.h"
#include "skin/SkinButton.h"
#include "skin/SkinDialog.h"
#include "skin/SkinPainter.h"

using namespace testing_support;
using namespace Gdiplus;

namespace {

std::string g_sampleProduct;

// A 32-bit top-down DIB selected into a memory DC, filled with one colour.
class Canvas {
 public:
  Canvas(int w, int h, COLORREF fill = RGB(255, 255, 255)) : w_(w), h_(h), dc_(::CreateCompatibleDC(nullptr)) {
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    bitmap_.reset(::CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits_), nullptr, 0));
    old_ = ::SelectObject(dc_.get(), bitmap_.get());
    fw::ScopedGdiObject brush(::CreateSolidBrush(fill));
    RECT r{0, 0, w, h};
    ::FillRect(dc_.get(), &r, static_cast<HBRUSH>(brush.get()));
  }
  ~Canvas() { ::SelectObject(dc_.get(), old_); }
  HDC dc() const { return dc_.get(); }
  COLORREF At(int x, int y) const {
    ::GdiFlush();
    const uint32_t p = bits_[y * w_ + x];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
  }
  RECT Rect() const { return {0, 0, w_, h_}; }

 private:
  int w_, h_;
  fw::ScopedMemoryDc dc_;
  fw::ScopedGdiObject bitmap_;
  HGDIOBJ old_ = nullptr;
  uint32_t* bits_ = nullptr;
};

std::unique_ptr<Bitmap> SolidImage(int w, int h, ARGB color) {
  auto image = std::make_unique<Bitmap>(w, h, PixelFormat32bppARGB);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) image->SetPixel(x, y, Color(color));
  return image;
}

bool Near(int a, int b, int tolerance = 6) { return std::abs(a - b) <= tolerance; }
::testing::AssertionResult NearColor(COLORREF actual, int r, int g, int b, int tolerance = 6) {
  if (Near(GetRValue(actual), r, tolerance) && Near(GetGValue(actual), g, tolerance) &&
      Near(GetBValue(actual), b, tolerance))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "colour (" << int(GetRValue(actual)) << ", " << int(GetGValue(actual)) << ", "
                                       << int(GetBValue(actual)) << ") is not near (" << r << ", " << g << ", " << b
                                       << ")";
}

class GdiplusSession : public ::testing::Environment {
 public:
  void SetUp() override {
    GdiplusStartupInput input;
    GdiplusStartup(&token_, &input, nullptr);
  }
  void TearDown() override { GdiplusShutdown(token_); }

 private:
  ULONG_PTR token_ = 0;
};

}  // namespace

TEST(ImageDrawing, GdiStretchDropsAlphaWhileCornersKeepIt) {
  auto image = SolidImage(3, 3, 0x80FF0000);  // half-transparent red
  NineGridItem item;
  item.sourceKind = SourceHeldImage;
  item.heldImage = image.get();
  item.destRight = 30;
  item.destBottom = 30;
  item.fillMode = FillGdiStretch;
  Canvas canvas(30, 30);
  DrawNineGridItem(canvas.dc(), item);
  EXPECT_TRUE(NearColor(canvas.At(0, 0), 255, 127, 127, 10));   // corner: blended over white
  EXPECT_TRUE(NearColor(canvas.At(15, 15), 128, 0, 0, 10));     // centre: composed on black, copied
  EXPECT_TRUE(NearColor(canvas.At(15, 0), 128, 0, 0, 10));      // top edge too

  item.fillMode = FillStretch;
  Canvas blended(30, 30);
  DrawNineGridItem(blended.dc(), item);
  EXPECT_TRUE(NearColor(blended.At(15, 15), 255, 127, 127, 12));
}

TEST(ImageDrawing, TilingLeavesTheRemainderCellUntouched) {
  auto tile = SolidImage(7, 7, 0xFF0000FF);
  ImageItem item;
  item.sourceKind = SourceHeldImage;
  item.heldImage = tile.get();
  item.destRight = 20;
  item.destBottom = 20;
  item.fillMode = FillTile;
  Canvas canvas(24, 24);
  DrawImageItem(canvas.dc(), canvas.Rect(), item);
  EXPECT_TRUE(NearColor(canvas.At(3, 3), 0, 0, 255, 0));
  EXPECT_TRUE(NearColor(canvas.At(16, 3), 0, 0, 255, 0));   // partial column
  EXPECT_TRUE(NearColor(canvas.At(3, 16), 0, 0, 255, 0));   // partial row
  EXPECT_TRUE(NearColor(canvas.At(16, 16), 255, 255, 255, 0));  // the corner cell
  EXPECT_TRUE(NearColor(canvas.At(21, 3), 255, 255, 255, 0));
}

TEST(ImageDrawing, NaturalSizeAndNegativeDestinations) {
  SkinImage band = LoadResourceImage(139, "PNG");
  ASSERT_TRUE(band);
  EXPECT_EQ(band->GetWidth(), 5u);
  EXPECT_EQ(band->GetHeight(), 45u);
  EXPECT_EQ(LoadResourceImage(0, "PNG"), nullptr);
  SkinImage missing = LoadResourceImage(999, "PNG");
  ASSERT_TRUE(missing);  // an image without pixels
  EXPECT_EQ(missing->GetWidth(), 0u);
  SkinImage lower = LoadResourceImage(139, "bitmap");  // not the bitmap case: a resource type lookup
  ASSERT_TRUE(lower);
  EXPECT_EQ(lower->GetWidth(), 0u);
  EXPECT_EQ(LoadFileImage(L"Z:\\no\\such\\file.png"), nullptr);

  ImageItem item;
  item.resourceId = 139;
  item.resourceType = "PNG";
  item.destLeft = 2;
  item.destTop = 30;
  item.destRight = -3;
  Canvas canvas(300, 320, RGB(255, 0, 255));
  DrawImageItem(canvas.dc(), canvas.Rect(), item);
  EXPECT_NE(canvas.At(2, 30), RGB(255, 0, 255));
  EXPECT_NE(canvas.At(296, 74), RGB(255, 0, 255));
  EXPECT_EQ(canvas.At(297, 40), RGB(255, 0, 255));
  EXPECT_EQ(canvas.At(100, 75), RGB(255, 0, 255));
  EXPECT_EQ(canvas.At(1, 40), RGB(255, 0, 255));
}

TEST(ImageDrawing, RegionsFromOpaquePixels) {
  auto image = SolidImage(8, 8, 0x00000000);
  image->SetPixel(3, 4, Color(0xFF112233));
  HRGN region = CreateImageRegion(image.get(), 0, 0, 8, 8);
  ASSERT_NE(region, nullptr);
  RECT box{};
  ::GetRgnBox(region, &box);
  EXPECT_EQ(box.left, 3);
  EXPECT_EQ(box.top, 4);
  EXPECT_EQ(box.right, 4);
  EXPECT_EQ(box.bottom, 5);
  ::DeleteObject(region);
  auto clear = SolidImage(4, 4, 0x00000000);
  region = CreateImageRegion(clear.get(), 0, 0, 4, 4);
  EXPECT_EQ(::GetRgnBox(region, &box), NULLREGION);
  ::DeleteObject(region);
  EXPECT_EQ(CreateImageRegion(nullptr, 0, 0, 4, 4), nullptr);
}

TEST(Painter, MissingSkinFileFallsBackToTheResource) {
  SkinPainter painter;
  painter.SetImage(139, "PNG", {0, 0, 0, 0}, 0, 0, 0, 0);
  painter.SetImageFile(L"Z:\\no\\skin\\BoxTopBk.png", {0, 0, 0, 0}, 0, 0, 0, 0);
  ASSERT_EQ(painter.Images().size(), 1u);
  EXPECT_EQ(painter.Images()[0].sourceKind, SourceFile);
  Canvas canvas(10, 50, RGB(255, 0, 255));
  painter.PaintBackground(nullptr, canvas.dc(), canvas.Rect());
  EXPECT_TRUE(NearColor(canvas.At(2, 0), 214, 232, 250, 3));  // the band's top colour
}

TEST(SkinDialogRegion, RoundedCornersOf300x320) {
  struct Probe : SkinDialog {
    Probe() : SkinDialog(102, nullptr) {}
  } dialog;
  dialog.SetCornerRadii(7, 7, 5, 5);
  HWND wnd = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 300, 320, nullptr, nullptr, nullptr, nullptr);
  dialog.UpdateWindowRegion(wnd);
  fw::ScopedGdiObject region(::CreateRectRgn(0, 0, 0, 0));
  ASSERT_NE(::GetWindowRgn(wnd, static_cast<HRGN>(region.get())), ERROR);
  HRGN r = static_cast<HRGN>(region.get());
  for (POINT outside : {POINT{0, 0}, POINT{299, 0}, POINT{0, 319}, POINT{299, 319}})
    EXPECT_FALSE(::PtInRegion(r, outside.x, outside.y)) << outside.x << "," << outside.y;
  for (POINT inside : {POINT{150, 0}, POINT{0, 160}, POINT{299, 160}, POINT{150, 319}, POINT{3, 3}, POINT{296, 3}})
    EXPECT_TRUE(::PtInRegion(r, inside.x, inside.y)) << inside.x << "," << inside.y;
  ::DestroyWindow(wnd);
}

TEST(SkinDialogErase, KeptBackgroundFollowsEveryChangeAndPartialErasesMatchFullOnes) {
  struct Probe : SkinDialog {
    Probe() : SkinDialog(102, nullptr) {}
    void SetBack(COLORREF c) { m_backColor = c; }
    void Erase(HDC dc) { OnEraseBkgnd(reinterpret_cast<WPARAM>(dc), 0); }
  } dialog;
  dialog.m_hWnd = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 300, 320, nullptr, nullptr, nullptr, nullptr);
  auto fullErase = [&](int x, int y) {
    Canvas canvas(300, 320, RGB(255, 0, 255));
    dialog.Erase(canvas.dc());
    return canvas.At(x, y);
  };
  dialog.SetBack(RGB(200, 0, 0));
  EXPECT_TRUE(NearColor(fullErase(150, 300), 200, 0, 0, 0));
  dialog.SetBack(RGB(0, 0, 200));
  EXPECT_TRUE(NearColor(fullErase(150, 300), 0, 0, 200, 0)) << "a new back colour is painted";
  dialog.SetImage(139, "PNG", {0, 0, 0, 0}, 0, 0, 0, 0);
  EXPECT_TRUE(NearColor(fullErase(2, 0), 214, 232, 250, 3)) << "an added image is painted";

  // A progress update erases only the status line: the rest stays as it was.
  Canvas full(300, 320, RGB(255, 0, 255));
  dialog.Erase(full.dc());
  Canvas partial(300, 320, RGB(255, 0, 255));
  ::IntersectClipRect(partial.dc(), 0, 10, 300, 40);
  dialog.Erase(partial.dc());
  ::SelectClipRgn(partial.dc(), nullptr);
  for (int y : {10, 25, 39})
    for (int x : {0, 2, 150, 299}) EXPECT_EQ(partial.At(x, y), full.At(x, y)) << x << "," << y;
  EXPECT_TRUE(NearColor(partial.At(150, 9), 255, 0, 255, 0));
  EXPECT_TRUE(NearColor(partial.At(150, 40), 255, 0, 255, 0));

  // A new size is composed at that size.
  ::SetWindowPos(dialog.m_hWnd, nullptr, 0, 0, 200, 100, SWP_NOZORDER | SWP_NOACTIVATE);
  Canvas small(300, 320, RGB(255, 0, 255));
  dialog.Erase(small.dc());
  EXPECT_TRUE(NearColor(small.At(199, 99), 0, 0, 200, 0));
  EXPECT_TRUE(NearColor(small.At(250, 200), 255, 0, 255, 0)) << "nothing past the client area";
  ::DestroyWindow(dialog.m_hWnd);
  dialog.m_hWnd = nullptr;
}

namespace {

// A parent window painted white with one skin button on it.
struct ButtonStage {
  HWND parent;
  CSkinButtonEx button;
  ButtonStage() {
    parent = ::CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 100, 100, 200, 80, nullptr, nullptr, nullptr,
                               nullptr);
    HWND b = ::CreateWindowExA(0, "BUTTON", "text", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 50, 20, parent,
                               reinterpret_cast<HMENU>(77), nullptr, nullptr);
    button.SubclassWindow(b);
  }
  ~ButtonStage() { ::DestroyWindow(parent); }
  // The face of `state` flags, drawn into a canvas of the button's size.
  COLORREF Face(UINT itemState, int x, int y) {
    Canvas parentBackground(200, 80);
    button.CaptureBackground(parentBackground.dc());
    const RECT c = button.GetClientRect();
    Canvas canvas(c.right, c.bottom);
    DRAWITEMSTRUCT dis{};
    dis.CtlType = ODT_BUTTON;
    dis.hwndItem = button.m_hWnd;
    dis.hDC = canvas.dc();
    dis.rcItem = c;
    dis.itemState = itemState;
    button.DrawItem(&dis);
    return canvas.At(x, y);
  }
};

}  // namespace

TEST(SkinButton, StripFramePerState) {
  ButtonStage stage;
  ASSERT_TRUE(stage.button.SetStripImage(134, "PNG", {4, true, false, false}));
  EXPECT_EQ(stage.button.FrameWidth(), 66);
  const RECT r = stage.button.GetWindowRect();
  EXPECT_EQ(r.right - r.left, 66);
  EXPECT_EQ(r.bottom - r.top, 23);
  SkinImage strip = LoadResourceImage(134, "PNG");
  auto stripAt = [&](int frame, int x, int y) {
    Color c;
    strip->GetPixel(frame * 66 + x, y, &c);
    return RGB(c.GetR(), c.GetG(), c.GetB());
  };
  struct Case {
    UINT flags;
    int frame;
  };
  const Case cases[] = {{0, 0}, {ODS_SELECTED, 2}, {ODS_DISABLED, 3}, {ODS_FOCUS, 0}, {ODS_DISABLED | ODS_SELECTED, 3}};
  for (const Case& c : cases) {
    const COLORREF expected = stripAt(c.frame, 33, 18);
    EXPECT_TRUE(NearColor(stage.Face(c.flags, 33, 18), GetRValue(expected), GetGValue(expected), GetBValue(expected), 4))
        << "flags " << c.flags;
  }
  // The frames differ, so the cases above tell them apart.
  EXPECT_NE(stripAt(0, 33, 18), stripAt(3, 33, 18));
  EXPECT_NE(stripAt(0, 33, 18), stripAt(2, 33, 18));
}

TEST(SkinButton, OneFrameStripBrightensShiftsAndGreys) {
  ButtonStage stage;
  ASSERT_TRUE(stage.button.SetStripImage(130, "PNG", {1, true, false, false}));
  const COLORREF normal = stage.Face(0, 16, 10);
  const int r = GetRValue(normal), g = GetGValue(normal), b = GetBValue(normal);
  EXPECT_GT(r, 60);
  const COLORREF disabled = stage.Face(ODS_DISABLED, 16, 10);
  const int grey = static_cast<int>(0.3 * r + 0.59 * g + 0.11 * b);
  EXPECT_TRUE(NearColor(disabled, grey, grey, grey, 4));
  // Hover: the mouse is over it once leave tracking is armed.
  POINT centre{33, 20};
  ::ClientToScreen(stage.button.m_hWnd, &centre);
  ::SendMessageA(stage.button.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(16, 10));
  const COLORREF hover = stage.Face(0, 16, 10);
  auto bright = [](int v) { return std::min(255, static_cast<int>(v * 1.05 + 0.05 * 255)); };
  EXPECT_TRUE(NearColor(hover, bright(r), bright(g), bright(b), 4));
}

TEST(SkinButton, PushButtonsNeverStayCheckedRadiosExcludeEachOther) {
  HWND parent = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 200, 80, nullptr, nullptr, nullptr, nullptr);
  auto make = [&](DWORD style, int id) {
    return ::CreateWindowExA(0, "BUTTON", "", WS_CHILD | WS_VISIBLE | style, 0, id * 20, 50, 18, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
  };
  CSkinButtonEx push, radio1, radio2;
  push.SubclassWindow(make(BS_PUSHBUTTON, 1));
  radio1.SubclassWindow(make(BS_AUTORADIOBUTTON | WS_GROUP, 2));
  radio2.SubclassWindow(make(BS_AUTORADIOBUTTON, 3));
  auto pump = [] {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&msg);
  };
  push.SetCheck(1);
  EXPECT_EQ(push.GetCheck(), 0);
  radio1.SetCheck(1);
  pump();
  EXPECT_EQ(radio1.GetCheck(), 1);
  radio2.SetCheck(1);
  pump();
  EXPECT_EQ(radio2.GetCheck(), 1);
  EXPECT_EQ(radio1.GetCheck(), 0);  // "CancelCheckedRadio" from radio2
  ::DestroyWindow(parent);
}

TEST(Hyperlink, OpensOnlyWhenReleasedOverIt) {
  const std::string folder = MakeTempFolder("link");
  const std::string target = folder + "Velnoria.exe";
  ASSERT_TRUE(::CopyFileA(g_sampleProduct.c_str(), target.c_str(), FALSE));
  HWND parent = ::CreateWindowExA(0, "STATIC", "", WS_POPUP | WS_VISIBLE, 200, 200, 200, 60, nullptr, nullptr,
                                  nullptr, nullptr);
  HWND label = ::CreateWindowExA(0, "STATIC", "点击下载", WS_CHILD | WS_VISIBLE, 10, 10, 80, 16, parent, nullptr,
                                 nullptr, nullptr);
  CHyperlink link;
  ASSERT_TRUE(link.SubclassWindow(label));
  EXPECT_TRUE(link.GetStyle() & SS_NOTIFY);
  link.SetColors(RGB(0, 0, 255), RGB(0, 0, 255), RGB(0, 0, 255));
  link.SetUnderline(1, 1);
  link.SetURL(W(target));
  // Pressed, dragged off, released elsewhere: nothing opens.
  ::SendMessageA(label, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  EXPECT_TRUE(link.IsPressed());
  ::SendMessageA(label, WM_LBUTTONUP, 0, MAKELPARAM(-100, -100));
  EXPECT_FALSE(link.IsPressed());
  ::Sleep(1500);
  EXPECT_FALSE(FileExists(folder + "product.log"));
  // Released over it: the shell opens the target.
  ::SendMessageA(label, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
  ::SendMessageA(label, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
  for (int i = 0; i < 100 && !FileExists(folder + "product.log"); ++i) ::Sleep(50);
  EXPECT_TRUE(FileExists(folder + "product.log"));
  // The opened product goes: its pid is in its log, maybe a moment after the
  // log is made (left running, it would hold the test's output open).
  std::string log = ReadFileBytes(folder + "product.log");
  for (int i = 0; i < 100 && log.find("pid=") == std::string::npos; ++i, log = ReadFileBytes(folder + "product.log"))
    ::Sleep(50);
  const size_t at = log.find("pid=");
  EXPECT_NE(at, std::string::npos);
  if (at != std::string::npos) {
    fw::ScopedHandle opened(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, strtoul(log.c_str() + at + 4, nullptr, 10)));
    if (opened) {
      ::TerminateProcess(opened.get(), 0);
      ::WaitForSingleObject(opened.get(), 5000);
    }
  }
  ::DestroyWindow(parent);
  ::Sleep(300);
  RemoveTree(folder);
}

namespace {

// Live GDI objects of this process. Wine answers GetGuiResources with 0, but
// resolves a handle without its generation bits to any live object of that
// index, so counting the indices that resolve counts the objects.
DWORD LiveGdiObjects() {
  if (DWORD n = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS)) return n;
  DWORD live = 0;
  for (uintptr_t index = 0x20; index <= 0xFFFF; ++index)
    if (::GetObjectType(reinterpret_cast<HGDIOBJ>(index))) ++live;
  return live;
}

}  // namespace

TEST(Leaks, HundredsOfPaintsKeepTheGdiObjectCount) {
  SkinPainter painter;
  painter.SetNineGridTop(133, "PNG", 31, 1, {0, 0, 0, 0}, 0);
  painter.SetImage(139, "PNG", {2, 30, -3, 0}, 0, 0, 0, 0);
  painter.PlaceImage(136, "PNG", 5, 0, 0);
  StyledText title;
  title.text = L"升级提示";
  title.boxX = 28;
  title.boxY = 8;
  painter.SetText(title);
  ButtonStage stage;
  stage.button.SetStripImage(134, "PNG", {4, true, false, false});
  StyledText caption;
  caption.text = L"升级";
  caption.alignment = AlignHCenter | AlignVCenter;
  stage.button.SetTextStyles(caption, caption, caption, caption);
  auto paintOnce = [&] {
    Canvas canvas(300, 320);
    painter.PaintBackground(stage.parent, canvas.dc(), canvas.Rect());
    stage.Face(0, 5, 5);
  };
  for (int i = 0; i < 5; ++i) paintOnce();  // caches of the system settle first
  const DWORD before = LiveGdiObjects();
  for (int i = 0; i < 300; ++i) paintOnce();
  const DWORD after = LiveGdiObjects();
  EXPECT_LE(after, before + 2) << "before " << before << ", after " << after;
  // The count sees objects: one more brush is one more.
  HBRUSH probe = ::CreateSolidBrush(RGB(1, 2, 3));
  EXPECT_EQ(LiveGdiObjects(), after + 1);
  ::DeleteObject(probe);
  EXPECT_GT(before, 0u);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 2) {
    fprintf(stderr, "usage: skin_tests PATH_OF_SampleProduct.exe\n");
    return 2;
  }
  g_sampleProduct = WindowsPath(argv[1]);
  ::testing::AddGlobalTestEnvironment(new GdiplusSession);
  return RUN_ALL_TESTS();
}
