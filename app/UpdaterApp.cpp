#include "app/UpdaterApp.h"

#include <winsock2.h>

#include <memory>
#include <optional>

#include "app/HandoffMapping.h"
#include "app/Paths.h"
#include "app/ReleaseNotes.h"
#include "engine/InstallPaths.h"
#include "engine/ManifestCheck.h"
#include "engine/ModuleCatalogue.h"
#include "engine/ReleaseTrust.h"
#include "engine/SupportLog.h"
#include "fetchkit/HttpDownload.h"
#include "res/resource.h"
#include "ui/UpdateDialog.h"

std::string ModuleDirectory;

namespace {
constexpr size_t kNotesMaxBytes = 1 << 20;
constexpr int kNotesTimeoutMs = 5000;
constexpr int kNotesDeadlineMs = 8000;
}  // namespace

UpdaterApp& App() { return *static_cast<UpdaterApp*>(AfxGetApp()); }

bool IsAnsiLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; }

std::string GetModuleDirectory() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(AfxGetInstanceHandle(), path, MAX_PATH);
  return DirectoryUpToLastBackslash(path, IsAnsiLeadByte);
}

bool UpdaterApp::ReadHandoff() {
  HandoffMapping mapping;
  const void* view = mapping.OpenAndMap(kHandoffName);
  if (!view) return false;
  HandoffValues values;
  if (!ParseHandoff(static_cast<const uint8_t*>(view), mapping.Size(), values)) return false;
  m_nUpdateMode = values.mode;
  m_hProductWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(values.productWindow));
  static_assert(sizeof m_szServerBase == sizeof values.serverBase, "server base sizes");
  memcpy(m_szServerBase, values.serverBase, sizeof m_szServerBase);
  return true;
}

std::string UpdaterApp::FetchReleaseNotes(const std::string& url) {
  std::string notes;
  CHttpDownload* download = CHttpDownload::NewInstance();
  if (!download) return notes;
  const std::string localPath = ModuleDirectory + "UpdateContent.dat";
  // The window waits for the notes: whatever the server sends, they are a
  // few seconds and at most a megabyte.
  download->SetTimeouts(kNotesTimeoutMs, kNotesTimeoutMs);
  download->SetLimits(kNotesMaxBytes, kNotesDeadlineMs);
  const unsigned code = download->Download(url.c_str(), localPath.c_str(), FK_FETCH_WHOLE);
  if (code != 0) SupportLog(ModuleDirectory, "notes: not fetched: result %u", code);
  if (code == 0) {
    if (FILE* file = fopen(localPath.c_str(), "rb")) {
      std::string bytes;
      char buffer[16384];
      size_t n;
      while (bytes.size() < kNotesMaxBytes && (n = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
      fclose(file);
      // An updater that checks signatures shows only the notes the release team signed.
      const std::vector<std::string>& keys = ReleaseKeys();
      if (keys.empty() || NotesAreSigned(bytes, keys)) notes = ReleaseNotesFromFileBytes(bytes);
      SupportLog(ModuleDirectory, "notes: %u bytes%s", static_cast<unsigned>(bytes.size()),
                 notes.empty() && !bytes.empty() ? ", not shown: they are not the signed ones" : "");
      ::DeleteFileA(localPath.c_str());
    }
  }
  delete download;
  return notes;
}

bool UpdaterApp::NotesAreSigned(const std::string& notes, const std::vector<std::string>& keys) {
  // The same manifest and signature a run checks, fetched within the notes' bounds.
  const std::string manifestPath = ModuleDirectory + kManifestLocalName;
  const std::string base = m_szServerBase;
  std::optional<SignedRelease> release;
  std::unique_ptr<CHttpDownload> download(CHttpDownload::NewInstance());
  if (download) {
    download->SetTimeouts(kNotesTimeoutMs, kNotesTimeoutMs);
    download->SetLimits(kManifestMaxBytes, kNotesDeadlineMs);
    if (download->Download((base + kManifestFileName).c_str(), manifestPath.c_str(), FK_FETCH_WHOLE) == 0)
      release = FetchVerifiedRelease(base, ModuleDirectory, manifestPath, keys, kNotesTimeoutMs, kNotesDeadlineMs);
  }
  ::DeleteFileA(manifestPath.c_str());
  return release && !release->notesSha256.empty() && Sha256OfBytes(notes) == release->notesSha256;
}

BOOL UpdaterApp::InitInstance() {
  // The release-notes box is a rich-edit 1.0 control.
  ::LoadLibraryA("riched32.dll");
  ::CoInitialize(nullptr);
  WSADATA wsa;
  m_socketsStarted = ::WSAStartup(MAKEWORD(2, 2), &wsa) == 0;

  if (!ReadHandoff()) return FALSE;
  ModuleDirectory = GetModuleDirectory();
  SupportLog(ModuleDirectory, "start: mode %d, server base \"%s\", %s", m_nUpdateMode, m_szServerBase,
             ReleaseKeys().empty() ? "no release keys" : "signed releases only");
  // The notes come while GDI+ starts and the window is built; the window
  // takes them (ReleaseNotes) before it shows.
  if (m_nUpdateMode == ModeMandatory || m_nUpdateMode == ModeOptional) {
    const std::string url = std::string(m_szServerBase) + kReleaseNotesFileName;
    try {
      m_notesFetch = std::thread([this, url] { m_strReleaseNotes = FetchReleaseNotes(url); });
    } catch (...) {
      m_strReleaseNotes = FetchReleaseNotes(url);
    }
  }

  m_gdiplusStarted = Gdiplus::GdiplusStartup(&m_gdiplusToken, &m_gdiplusStartupInput, nullptr) == Gdiplus::Ok;

  {
    UpdateDialog dialog(nullptr);
    m_pMainWnd = &dialog;
    const DWORD started = ::GetTickCount();
    dialog.DoModal();
    m_pMainWnd = nullptr;
    static const char* const kState[] = {"no run started", "ended during a run", "failed", "succeeded"};
    SupportLog(ModuleDirectory, "end: %s, after %lu ms", kState[static_cast<int>(dialog.Engine().State())],
               ::GetTickCount() - started);
  }
  ReleaseNotes();  // a window that never showed still waits for the fetch
  return FALSE;
}

const std::vector<std::string>& UpdaterApp::ReleaseKeys() {
  std::call_once(m_releaseKeysLoaded, [this] { m_releaseKeys = LoadReleaseKeys(AfxGetInstanceHandle()); });
  return m_releaseKeys;
}

const std::string& UpdaterApp::ReleaseNotes() {
  if (m_notesFetch.joinable()) m_notesFetch.join();
  return m_strReleaseNotes;
}

int UpdaterApp::ExitInstance() {
  if (m_gdiplusStarted) Gdiplus::GdiplusShutdown(m_gdiplusToken);
  m_gdiplusStarted = false;
  if (m_socketsStarted) ::WSACleanup();
  m_socketsStarted = false;
  ::CoUninitialize();
  return CWinApp::ExitInstance();
}
