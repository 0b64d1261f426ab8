#include "ui/UpdateDialog.h"

#include <cwchar>

#include "framework/Scoped.h"
#include "framework/WinApp.h"
#include "res/resource.h"
#include "ui/AboutDialog.h"

namespace {

const wchar_t kFace[] = L"宋体";

// The text buttons' strip: four frames, the button takes one frame's size,
// no region from the image, no flash frame, the two stored values.
const StripLayout kButtonStrip{4, true, false, false, 0, -1};

// Black 9-point 宋体 in a window-relative box as wide as the window.
StyledText BlackText(const std::wstring& text, float x, float y, float height, int alignment) {
  StyledText t;
  t.text = text;
  t.face = kFace;
  t.size = 9;
  t.color = 0xFF000000;
  t.style = 0;
  t.boxX = x;
  t.boxY = y;
  t.boxWidth = 0;
  t.boxHeight = height;
  t.alignment = alignment;
  return t;
}

}  // namespace

UpdateDialog::UpdateDialog(WindowSetup setup, UpdateActions& actions)
    : SkinDialog(IDD_UPDATER, nullptr), m_setup(std::move(setup)), m_actions(actions) {
  m_hIcon = ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
  SetCornerRadii(7, 7, 5, 5);
  SetTitleText(AfxLoadString(IDS_UPGRADE_NOTICE), kFace, 0xFFFFF7EE, 28, 8, 10, 1);
  SetNotice(IDS_NEW_VERSION_PROMPT);
  SetCaptionHeight(30);
  m_allowShow = m_setup.role == WindowRole::Background ? 0 : 1;
}

UpdateDialog::~UpdateDialog() = default;

BEGIN_MESSAGE_MAP(UpdateDialog, SkinDialog)
  ON_MESSAGE(WM_SYSCOMMAND, OnSysCommand)
  ON_MESSAGE(WM_CLOSE, OnCloseMessage)
  ON_MESSAGE(WM_PAINT, OnPaint)
  ON_MESSAGE(WM_QUERYDRAGICON, OnQueryDragIcon)
  ON_BN_CLICKED(IDC_UPGRADE, OnUpgrade)
  ON_MESSAGE(WM_WINDOWPOSCHANGING, OnWindowPosChanging)
  ON_BN_CLICKED(IDC_SKIP, OnSkip)
  ON_BN_CLICKED(IDC_FINISH, OnFinish)
  ON_BN_CLICKED(IDC_EXIT_PRODUCT, OnExitProduct)
  ON_BN_CLICKED(IDC_CLOSE_BUTTON, OnCloseButton)
  ON_WM_CTLCOLOR(OnCtlColor)
END_MESSAGE_MAP()

void UpdateDialog::DoDataExchange(CDataExchange* dx) {
  SkinDialog::DoDataExchange(dx);
  DDX_Control(dx, IDC_DOWNLOAD_LINK, m_link);
  DDX_Control(dx, IDC_STATUS, m_statusText);
  DDX_Control(dx, IDC_PROGRESS, m_progress);
  DDX_Control(dx, IDC_CLOSE_BUTTON, m_btnClose);
  DDX_Control(dx, IDC_UPGRADE, m_btnUpgrade);
  DDX_Control(dx, IDC_SKIP, m_btnSkip);
  DDX_Control(dx, IDC_EXIT_PRODUCT, m_btnExit);
  DDX_Control(dx, IDC_FINISH, m_btnFinish);
  DDX_Control(dx, IDC_RELEASE_NOTES, m_releaseNotes);
}

BOOL UpdateDialog::OnInitDialog() {
  SkinDialog::OnInitDialog();
  if (HMENU menu = ::GetSystemMenu(m_hWnd, FALSE)) {
    const std::wstring about = AfxLoadString(IDS_ABOUTBOX);
    if (!about.empty()) {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  SetWindowPos(HWND_TOPMOST, 0, 0, 300, 320, SWP_NOMOVE);
  ModifyStyleEx(WS_EX_APPWINDOW, WS_EX_TOOLWINDOW);
  CenterWindow();
  ::SetForegroundWindow(m_hWnd);
  LoadSkin();
  LayoutControls();
  ShowOffer();
  ::SetFocus(m_btnUpgrade.m_hWnd);
  m_actions.WindowReady();
  return FALSE;
}

// The look.

void UpdateDialog::LoadSkin() {
  const std::wstring config = m_setup.installFolder + L"SetConfig.ini";
  const int index = static_cast<int>(::GetPrivateProfileIntW(L"SkinSet", L"SkinIndex", 0, config.c_str()));

  SetNineGridTop(133, "PNG", 31, 1, {0, 0, 0, 0}, 0);
  SetImage(139, "PNG", {2, 30, -3, 0}, 0, 0, 0, 0);
  SetImage(137, "PNG", {10, 60, -50, 0}, 0, 0, 0, 0);
  SetImage(137, "PNG", {10, 210, -50, 0}, 0, 0, 0, 0);
  PlaceImage(136, "PNG", 5, 0, 0);
  m_btnClose.SetForegroundImage(132, "PNG", 1, 0);
  for (CSkinButtonEx* button : {&m_btnUpgrade, &m_btnSkip, &m_btnExit, &m_btnFinish})
    button->SetStripImage(134, "PNG", kButtonStrip);
  m_btnClose.SetHoverImage(131, "PNG");
  m_btnClose.SetPressedImage(130, "PNG");
  m_btnClose.SetDisabledImage(129, "PNG");

  if (index == 0) return;
  const std::wstring skin = m_setup.installFolder + L"mvttools\\Skin\\Skin" + std::to_wstring(index) + L"\\";
  SetNineGridTopFile(skin + L"General\\PopupBoxBk.png", 31, 1, {0, 0, 0, 0}, 0);
  SetImageFile(skin + L"General\\BoxTopBk.png", {2, 30, -3, 0}, 0, 0, 0, 0);
  SetImage(137, "PNG", {10, 60, -50, 0}, 0, 0, 0, 0);
  SetImage(137, "PNG", {10, 210, -50, 0}, 0, 0, 0, 0);
  m_btnClose.SetForegroundImageFile(skin + L"General\\Close_Normal.png", 1, 0);
  for (CSkinButtonEx* button : {&m_btnUpgrade, &m_btnSkip, &m_btnExit, &m_btnFinish})
    button->SetStripImageFile(skin + L"General\\BoxBtn_S.png", kButtonStrip);
}

StyledText UpdateDialog::ButtonCaption(const std::wstring& text) const {
  return BlackText(text, 0, 1, 0, AlignVCenter | AlignHCenter);
}

void UpdateDialog::PlaceTemplateControls() {
  // The template is laid out for 宋体 9 pt, whose dialog base units are 6 x 12
  // pixels. Where the system substitutes a font of other metrics, the controls
  // that keep their template places are converted with those units, so that
  // they stay where the template puts them in the 300 x 320 window.
  RECT units{0, 0, 4, 8};
  ::MapDialogRect(m_hWnd, &units);
  if (units.right <= 0 || units.bottom <= 0 || (units.right == 6 && units.bottom == 12)) return;
  for (int id : {IDC_PROGRESS, IDC_STATUS, IDC_SLOW_HINT, IDC_DOWNLOAD_LINK, IDC_LATEST_VERSION}) {
    HWND control = GetDlgItem(id);
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(HWND_DESKTOP, m_hWnd, reinterpret_cast<POINT*>(&r), 2);
    ::SetWindowPos(control, nullptr, ::MulDiv(r.left, 6, units.right), ::MulDiv(r.top, 12, units.bottom),
                   ::MulDiv(r.right - r.left, 6, units.right), ::MulDiv(r.bottom - r.top, 12, units.bottom),
                   SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void UpdateDialog::FitTextControlsToTheirFont() {
  // The template's 8-unit lines are 12 pixels; the font that stands in for
  // 宋体 may need more, and the glyphs' lower strokes and the link's
  // underline would be cut. Each keeps its place and grows to one whole line.
  HFONT font = reinterpret_cast<HFONT>(SendMessage(WM_GETFONT));
  fw::ScopedWindowDc dc(m_hWnd);
  fw::ScopedSelect select(dc.get(), font);
  TEXTMETRICW metrics{};
  if (!::GetTextMetricsW(dc.get(), &metrics)) return;
  const int line = metrics.tmHeight + metrics.tmExternalLeading;
  for (int id : {IDC_STATUS, IDC_SLOW_HINT, IDC_DOWNLOAD_LINK, IDC_LATEST_VERSION}) {
    HWND control = GetDlgItem(id);
    RECT r{};
    ::GetWindowRect(control, &r);
    if (r.bottom - r.top < line)
      ::SetWindowPos(control, nullptr, 0, 0, r.right - r.left, line, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void UpdateDialog::LayoutControls() {
  PlaceTemplateControls();
  FitTextControlsToTheirFont();
  const RECT client = GetClientRect();
  const int W = client.right - client.left, H = client.bottom - client.top;
  auto size = [](CWnd& w) {
    const RECT r = w.GetWindowRect();
    return SIZE{r.right - r.left, r.bottom - r.top};
  };
  auto moveTo = [](CWnd& w, int x, int y) { w.SetWindowPos(nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE); };
  const SIZE close = size(m_btnClose), upgrade = size(m_btnUpgrade);
  moveTo(m_btnClose, W - close.cx, 0);
  moveTo(m_btnUpgrade, W - 2 * upgrade.cx - 40, H - upgrade.cy - 5);
  for (CSkinButtonEx* b : {&m_btnSkip, &m_btnExit, &m_btnFinish}) {
    const SIZE s = size(*b);
    moveTo(*b, W - s.cx - 25, H - s.cy - 5);
  }

  CSkinButtonEx* textButtons[] = {&m_btnUpgrade, &m_btnSkip, &m_btnExit, &m_btnFinish};
  std::wstring captions[4];
  for (int i = 0; i < 4; ++i) captions[i] = textButtons[i]->GetWindowText();
  for (CSkinButtonEx* b : {&m_btnClose, &m_btnUpgrade, &m_btnSkip, &m_btnExit, &m_btnFinish}) b->SetWindowText(L"");
  for (int i = 0; i < 4; ++i) {
    const StyledText caption = ButtonCaption(captions[i]);
    textButtons[i]->SetTextStyles(caption, caption, caption, caption);
  }

  m_link.SetUnderline(1, 1);
  m_link.SetColors(RGB(0, 0, 255), RGB(0, 0, 255), RGB(0, 0, 255));
  m_link.SetLinkCursor(::LoadCursorW(nullptr, IDC_HAND));
  m_link.SetURL(AfxLoadString(IDS_PRODUCT_SITE));

  m_releaseNotes.SetWindowPos(nullptr, 10, 65, W - 20, 141, SWP_NOACTIVATE);
}

void UpdateDialog::PaintOverlay(HDC dc) {
  // A button keeps its last copy when this paint does not cover all of it.
  for (CSkinButtonEx* b : {&m_btnClose, &m_btnUpgrade, &m_btnSkip, &m_btnExit, &m_btnFinish}) {
    const RECT r = b->GetRectInParent();
    RECT both{};
    ::IntersectRect(&both, &r, &m_paintBox);
    if (::EqualRect(&both, &r)) b->CaptureBackground(dc);
  }
}

LRESULT UpdateDialog::OnSysCommand(WPARAM command, LPARAM) {
  // Alt+F4 and the system menu's close act as 关闭.
  if ((command & 0xFFF0) == SC_CLOSE) {
    OnCloseButton(0, 0);
    return 0;
  }
  if ((command & 0xFFF0) == IDM_ABOUTBOX) {
    AboutDialog about;
    about.DoModal();
    return 0;
  }
  return Default();
}

LRESULT UpdateDialog::OnPaint(WPARAM, LPARAM) {
  if (!::IsIconic(m_hWnd)) return Default();
  fw::ScopedPaint paint(m_hWnd);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(paint.dc()), 0);
  const int cx = ::GetSystemMetrics(SM_CXICON), cy = ::GetSystemMetrics(SM_CYICON);
  const RECT r = GetClientRect();
  ::DrawIcon(paint.dc(), (r.right - r.left - cx + 1) / 2, (r.bottom - r.top - cy + 1) / 2, m_hIcon);
  return 0;
}

LRESULT UpdateDialog::OnQueryDragIcon(WPARAM, LPARAM) { return reinterpret_cast<LRESULT>(m_hIcon); }

LRESULT UpdateDialog::OnCtlColor(WPARAM wParam, LPARAM) {
  const LRESULT brush = Default();
  const UINT kind = GetCurrentMessage().message - WM_CTLCOLORMSGBOX;
  if (kind == 3 || kind == 6) {  // buttons and statics show the skin
    ::SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH));
  }
  return brush;
}

// Presentations.

void UpdateDialog::SetNotice(UINT id) { SetText(BlackText(AfxLoadString(id), 8, 39, 15, AlignTop | AlignLeft)); }

void UpdateDialog::ShowOffer() {
  switch (m_setup.role) {
    case WindowRole::Optional:
      m_statusText.SetWindowText(L"");
      m_btnFinish.ShowWindow(SW_HIDE);
      m_btnExit.ShowWindow(SW_HIDE);
      m_releaseNotes.SetWindowText(m_setup.releaseNotes ? m_setup.releaseNotes() : L"");
      Invalidate(TRUE);
      break;
    case WindowRole::Mandatory:
      m_statusText.SetWindowText(L"");
      m_btnSkip.ShowWindow(SW_HIDE);
      m_btnFinish.ShowWindow(SW_HIDE);
      m_releaseNotes.SetWindowText(m_setup.releaseNotes ? m_setup.releaseNotes() : L"");
      Invalidate(TRUE);
      break;
    case WindowRole::Background:
      m_actions.StartUpdate();
      break;
    case WindowRole::Other:
      break;
  }
}

void UpdateDialog::ShowUpdating() {
  m_statusText.SetWindowText(AfxLoadString(IDS_UPDATING));
  m_btnUpgrade.EnableWindow(FALSE);
  if (m_setup.role == WindowRole::Optional) {
    const std::wstring cancel = AfxLoadString(IDS_CANCEL);
    m_btnSkip.SetWindowText(cancel);
    const StyledText caption = ButtonCaption(cancel);
    m_btnSkip.SetTextStyles(caption, caption, caption, caption);
  }
  Invalidate(TRUE);
}

void UpdateDialog::ShowFailure() {
  m_statusText.SetWindowText(AfxLoadString(IDS_UPDATE_FAILED));
  m_btnUpgrade.EnableWindow(TRUE);
  Invalidate(TRUE);
}

void UpdateDialog::ShowSuccess() {
  m_btnFinish.ShowWindow(SW_SHOW);
  m_btnUpgrade.ShowWindow(SW_HIDE);
  m_btnSkip.ShowWindow(SW_HIDE);
  m_btnExit.ShowWindow(SW_HIDE);
  m_progress.SetPos(100);
  m_statusText.SetWindowText(AfxLoadString(IDS_UPDATE_SUCCEEDED));
  Invalidate(TRUE);
}

void UpdateDialog::ShowHeldBack(int64_t pinnedAt) {
  m_btnUpgrade.ShowWindow(SW_HIDE);
  m_btnSkip.ShowWindow(SW_HIDE);
  m_btnExit.ShowWindow(SW_HIDE);
  m_btnFinish.ShowWindow(SW_HIDE);
  m_statusText.SetWindowText(HeldBackText(pinnedAt));
  SetNotice(IDS_HELD_NOTICE);  // no longer an invitation to upgrade
  Invalidate(TRUE);
}

std::wstring HeldBackText(int64_t pinnedAt) {
  if (pinnedAt < 0) return AfxLoadString(IDS_RELEASE_HALTED);
  wchar_t line[256];
  std::swprintf(line, sizeof line / sizeof line[0], AfxLoadString(IDS_HELD_BY_POLICY).c_str(),
                std::to_wstring(pinnedAt).c_str());
  return line;
}

bool UpdateDialog::ConfirmLeave() {
  if (!m_actions.Downloading()) return true;
  const std::wstring text = AfxLoadString(IDS_CONFIRM_LEAVE);
  const std::wstring caption = AfxLoadString(IDS_UPGRADE_NOTICE);
  return ::MessageBoxW(m_hWnd, text.c_str(), caption.c_str(), MB_OKCANCEL) != IDCANCEL;
}

// Progress.

void UpdateDialog::ShowProgress(int percent, uint32_t doneKilobytes, uint32_t totalKilobytes) {
  wchar_t line[256];
  std::swprintf(line, sizeof line / sizeof line[0], AfxLoadString(IDS_PROGRESS_FORMAT).c_str(),
                static_cast<long>(doneKilobytes), static_cast<long>(totalKilobytes));
  m_statusText.SetWindowText(line);
  m_progress.SetPos(percent);
  InvalidateRect(&m_statusRect, TRUE);
}

void UpdateDialog::ShowActivity(int position) { m_progress.SetPos(position); }

// Actions.

LRESULT UpdateDialog::OnUpgrade(WPARAM, LPARAM) {
  m_statusRect = m_statusText.GetWindowRect();
  ScreenToClient(&m_statusRect);
  ShowUpdating();
  m_actions.StartUpdate();
  return 0;
}

void UpdateDialog::LeaveUpdater(bool askProductToExit) {
  if (!ConfirmLeave()) return;
  if (askProductToExit) m_actions.AskProductToExit();
  EndDialog(IDCANCEL);
}

LRESULT UpdateDialog::OnSkip(WPARAM, LPARAM) {
  LeaveUpdater(false);
  return 0;
}

LRESULT UpdateDialog::OnExitProduct(WPARAM, LPARAM) {
  LeaveUpdater(true);
  return 0;
}

LRESULT UpdateDialog::OnFinish(WPARAM, LPARAM) {
  m_actions.FinishUpdate();
  return 0;
}

LRESULT UpdateDialog::OnCloseButton(WPARAM, LPARAM) {
  if (m_actions.HeldBack())
    LeaveUpdater(false);  // the product goes on, on the release it is held at
  else if (m_actions.Succeeded())
    m_actions.FinishUpdate();
  else if (m_setup.role == WindowRole::Optional)
    LeaveUpdater(false);
  else if (m_setup.role == WindowRole::Mandatory)
    LeaveUpdater(true);
  return 0;
}

void UpdateDialog::OnCancel() { OnCloseButton(0, 0); }

BOOL UpdateDialog::PreTranslateMessage(MSG* msg) {
  // Escape from the notes box or the window acts as the close button; aimed
  // at a button it reaches nothing (the skinned dialog's key filter), so a
  // stray key at the offer never ends the product.
  if (msg->message == WM_KEYDOWN && msg->wParam == VK_ESCAPE && m_hWnd &&
      (msg->hwnd == m_hWnd || ::IsChild(m_hWnd, msg->hwnd)) && !AimedAtButton(msg)) {
    OnCancel();
    return TRUE;
  }
  return SkinDialog::PreTranslateMessage(msg);
}

LRESULT UpdateDialog::OnCloseMessage(WPARAM, LPARAM) {
  // During the finish the request waits until the finish has reported.
  if (m_actions.MayClose()) CDialog::OnCancel();
  return 0;
}

LRESULT UpdateDialog::OnWindowPosChanging(WPARAM, LPARAM lParam) {
  const LRESULT result = Default();
  // In the background mode nothing may show the window.
  if (!m_allowShow) reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
  return result;
}

// Ends.

void UpdateDialog::HideForFinish() { ShowWindow(SW_HIDE); }

void UpdateDialog::PostClose() { PostMessage(WM_CLOSE); }

void UpdateDialog::EndCancelled() { CDialog::OnCancel(); }

void UpdateDialog::EndFinished() { CDialog::OnOK(); }
