#include "app/UpdaterApp.h"

#include <winsock2.h>

#include <algorithm>
#include <cstdio>

#include "app/HandoffMapping.h"
#include "app/UpdateRun.h"
#include "engine/install/InstallJournal.h"
#include "engine/install/Installer.h"
#include "engine/install/ServiceClient.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/ReleaseNotes.h"
#include "engine/crypto/Signature.h"
#include "engine/release/ManifestCheck.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/transfer/DownloadLibrary.h"
#include "engine/transfer/ReportSend.h"
#include "engine/run/Policy.h"
#include "engine/run/RunAccounting.h"
#include "engine/run/SupportLog.h"
#include "engine/run/UpdateMode.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/Text.h"

std::wstring ModuleDirectory;

namespace {

// A product's build may turn the reports off (-DUPDATER_OUTCOME_REPORTS=OFF).
#ifdef UPDATER_NO_OUTCOME_REPORTS
constexpr bool kOutcomeReportsBuilt = false;
#else
constexpr bool kOutcomeReportsBuilt = true;
#endif

}  // namespace

std::wstring GetModuleDirectory() { return DirectoryUpToLastBackslash(fw::ProgramPath()); }

bool UpdaterApp::ReadHandoff() {
  HandoffMapping mapping;
  const void* view = mapping.OpenAndMap(kHandoffName);
  if (!view) return false;
  // One bounded copy of the live memory (the product may still be writing),
  // and the terminator is looked for in that copy.
  const auto* bytes = static_cast<const uint8_t*>(view);
  const std::vector<uint8_t> copy(bytes, bytes + std::min(mapping.Size(), kHandoffServerBaseOffset + kServerBaseSize));
  HandoffValues values;
  if (!ParseHandoff(copy.data(), copy.size(), values)) return false;
  m_nUpdateMode = values.mode;
  m_hProductWnd = reinterpret_cast<HWND>(static_cast<uintptr_t>(values.productWindow));
  // The window may be remade or gone by the finish: its process is kept now.
  DWORD processId = 0;
  if (m_hProductWnd && ::GetWindowThreadProcessId(m_hProductWnd, &processId) && processId)
    m_productProcess.reset(::OpenProcess(SYNCHRONIZE, FALSE, processId));
  static_assert(sizeof m_szServerBase == sizeof values.serverBase, "server base sizes");
  memcpy(m_szServerBase, values.serverBase, sizeof m_szServerBase);
  return true;
}

BOOL UpdaterApp::InitInstance() {
  const DWORD started = ::GetTickCount();
  // The release-notes box is a Unicode rich-edit control (2.0: rich edit 1.0
  // takes only text of the system's code page).
  ::LoadLibraryW(L"riched20.dll");
  ::CoInitialize(nullptr);
  WSADATA wsa;
  m_socketsStarted = ::WSAStartup(MAKEWORD(2, 2), &wsa) == 0;

  if (!ReadHandoff()) return FALSE;
  ModuleDirectory = GetModuleDirectory();
  // The administrator's policy, before anything is fetched (its notes are
  // logged once the folder is the updater's).
  std::vector<std::string> policyNotes;
  const UpdatePolicy policy = ResolvePolicy(ReadPolicyValues(true), ReadPolicyValues(false), m_szServerBase, policyNotes);
  const std::string handedOver = m_szServerBase;
  if (policy.serverBase) std::snprintf(m_szServerBase, sizeof m_szServerBase, "%s", policy.serverBase->c_str());

  OutcomeReport report = Update(policy, policyNotes, handedOver);
  report.mode = m_nUpdateMode;
  report.before = m_releaseBefore;
  report.durationMs = ::GetTickCount() - started;
  // After the relaunch, once: its answer is never waited for beyond its
  // bound, and a report that does not go is no failure of the run. The
  // folder is free by then: a product restarted meanwhile may start the
  // next updater at once.
  // The notes' fetch writes in the folder: it ends before the folder is free
  // (a window that never showed still waits for it).
  ReleaseNotes();
  // The window is gone; the process stays while the new release proves itself.
  if (m_probation) {
    m_folderLock.reset();
    if (SeeProbationThrough(m_workFolder, ModuleDirectory, m_throughService, *m_probation)) report.end = RunEnd::Reverted;
    m_probation.reset();
  }
  if (kOutcomeReportsBuilt && policy.reportOutcomes) {
    SupportLog(m_workFolder, "end: outcome report %s?%s", kReportFileName, report.Query().c_str());
    m_folderLock.reset();
    SendOutcomeReport(m_szServerBase, report);
  }
  // Its copy goes with the updater (a transfer left running keeps it until the next start).
  ReleaseDownloadLibrary();
  return FALSE;
}

OutcomeReport UpdaterApp::Update(const UpdatePolicy& policy, const std::vector<std::string>& policyNotes,
                                 const std::string& handedOver) {
  OutcomeReport report;
  if (!ChooseWorkFolder()) {
    report.FirstError(RunStage::Folder, kResultUnwritable);
    return report;
  }
  const std::wstring& folder = m_workFolder;
  SupportLog(folder, "start: mode %d, server base \"%s\", %s%s", m_nUpdateMode, handedOver.c_str(),
             ReleaseKeys().empty() ? "no release keys" : "signed releases only",
             m_throughService ? (", per-machine install in " + fw::Utf8(ModuleDirectory) +
                                 ": the update service installs").c_str() : "");
  // One updater per install folder; everything it writes lies inside the lock.
  m_folderLock = std::make_unique<FolderLock>(folder);
  if (!m_folderLock->Held()) {
    SupportLog(folder, "end: another updater runs in this folder");
    report.end = RunEnd::Busy;
    return report;
  }
  if (!SettleInstallFolder(report)) return report;
  // At the product's start in a registered folder: a pre-load goes in now, or waits.
  if (m_throughService && m_nUpdateMode == ModeBackground && !m_hProductWnd) {
    const std::optional<ServiceOutcome> installed = InstallPreloadThroughService(ModuleDirectory, folder);
    report.end = installed == ServiceOutcome::Installed ? RunEnd::Installed : RunEnd::Current;
    if (installed && *installed != ServiceOutcome::Installed)
      report.FirstError(RunStage::Install, kResultServiceOutcome + static_cast<uint32_t>(*installed));
    SupportLog(folder, "end: at the product's start, %s", !installed ? "no pre-load to install"
               : *installed == ServiceOutcome::Installed ? "the pre-load is installed" : "the pre-load stays");
    return report;
  }
  for (const std::string& note : policyNotes) SupportLog(folder, "start: %s", note.c_str());
  if (!policy.updatesEnabled || (m_nUpdateMode == ModeBackground && !policy.backgroundEnabled)) {
    SupportLog(folder, "end: %s by the administrator's policy: nothing is fetched",
               policy.updatesEnabled ? "background updates are turned off" : "updates are turned off");
    report.end = RunEnd::Policy;
    return report;
  }
  if (policy.serverBase) SupportLog(folder, "start: the server base is the policy's, \"%s\"", m_szServerBase);
  // The release trusted last is checked with this updater's keys at each start.
  if (!ReleaseKeys().empty()) {
    const TrustFloor floor = LoadTrustFloor(folder, ReleaseKeys());
    m_releaseBefore = floor.kept ? floor.kept->number : floor.recorded;
    if (floor.kept)
      SupportLog(folder, "start: signed release %lld is the newest trusted", static_cast<long long>(floor.kept->number));
    else
      SupportLog(folder, "start: %s; the recorded release number is %lld",
                 floor.damaged ? "the kept release does not verify with this updater's keys (damaged, or signed with a "
                                 "key it no longer trusts)"
                               : "no release kept yet: the first signed release that verifies is trusted",
                 static_cast<long long>(floor.recorded));
  }
  // The notes come while GDI+ starts and the window is built; the window
  // takes them (ReleaseNotes) before it shows.
  if (m_nUpdateMode == ModeMandatory || m_nUpdateMode == ModeOptional) {
    auto fetch = [this] {
      m_strReleaseNotes =
          FetchReleaseNotes(EntryBases(m_szServerBase, m_workFolder, ReleaseKeys()), m_workFolder, ReleaseKeys());
    };
    m_notesFetch = fw::Thread::Start(fetch);
    if (!m_notesFetch) fetch();
  }

  EngineSettings settings{m_nUpdateMode, m_szServerBase, folder, m_productProcess.get(),
                          ReleaseKeys(), PROGRESS_PRESENT_INTERVAL_MS, policy};
  settings.installFolder = ModuleDirectory;
  settings.throughService = m_throughService;
  // Mode 1 offers only a release meant for this installation (a rollout's
  // stage, a pinned release): asked while the notes come and GDI+ starts.
  std::optional<Offer> offer;
  fw::Thread offerCheck;
  if (m_nUpdateMode == ModeOptional) {
    auto check = [&offer, settings] { offer = OfferAtStart(settings); };
    offerCheck = fw::Thread::Start(check);
    if (!offerCheck) check();
  }

  m_gdiplusStarted = Gdiplus::GdiplusStartup(&m_gdiplusToken, &m_gdiplusStartupInput, nullptr) == Gdiplus::Ok;

  offerCheck.Join();
  // Offered because nobody could say otherwise: the run the user starts carries on past a stage.
  settings.stageUndecided = m_nUpdateMode == ModeOptional && !offer;
  if (offer && !offer->offered) {
    SupportLog(folder, "end: the release is not offered to this installation (%s): nothing to show",
               offer->why.c_str());
    report.end = RunEnd::HeldBack;
    report.release = offer->release;
    report.stagePercent = offer->stagePercent;
    report.content = offer->content;
    return report;
  }
  UpdateRun run(std::move(settings), WindowSetup{RoleOfMode(m_nUpdateMode), ModuleDirectory, [this] { return fw::FromGbk(ReleaseNotes()); }});
  m_pMainWnd = &run.Window();
  const DWORD started = ::GetTickCount();
  const UpdateState state = run.Run();
  m_pMainWnd = nullptr;
  report = run.Outcome();
  m_probation = run.Probation();
  static const char* const kState[] = {"no run started", "ended during a run", "failed", "succeeded"};
  SupportLog(folder, "end: %s%s, after %lu ms",
             report.end == RunEnd::HeldBack ? "held back" : kState[static_cast<int>(state)],
             run.NotInstalled().empty() ? "" : (", not installed: " + run.NotInstalled()).c_str(),
             ::GetTickCount() - started);
  // Left at the offer: the release offered is the one declined.
  if (report.content.empty() && offer) {
    report.content = offer->content;
    report.release = offer->release;
    report.stagePercent = offer->stagePercent;
  }
  return report;
}

bool UpdaterApp::ChooseWorkFolder() {
  m_workFolder = ModuleDirectory;
  // Only a keyed updater has a service: nothing unsigned is installed with more rights than the user's.
  m_throughService = !ReleaseKeys().empty() && IsRegisteredFolder(ModuleDirectory);
  // The user's own folder for this install folder; the download library's
  // copy goes there, never into the install folder (beside the library
  // only when that folder cannot be made).
  const std::wstring userFolder = UserWorkFolder(ModuleDirectory);
  if (!userFolder.empty()) PlaceDownloadLibraryCopyIn(userFolder);
  if (!m_throughService) return true;
  m_workFolder = userFolder;
  if (m_workFolder.empty()) {
    SupportLog(ModuleDirectory, "end: per-machine install, and the user's work folder cannot be made");
    return false;
  }
  return true;
}

bool UpdaterApp::SettleInstallFolder(OutcomeReport& report) {
  const std::wstring& folder = m_workFolder;
  // Before anything else: an installation that a stop interrupted is
  // finished or undone, so that a run sees one whole release.
  const bool recovered = !m_throughService ? RecoverInterruptedInstallation(ModuleDirectory)
                         : !fw::PathExists(ModuleDirectory + kInstallJournalName) ||
                               RecoverThroughService(ModuleDirectory, folder) == ServiceOutcome::Installed;
  if (!recovered) {
    SupportLog(folder, "end: the interrupted installation could not be completed yet");
    report.FirstError(RunStage::Recover, kResultNotRecovered);
    return false;
  }
  // A probation its watcher did not see through is settled: one release,
  // never a failed one (in a registered folder, by the service's next request).
  if (!m_throughService) SettleProbation(ModuleDirectory);
  return true;
}

const std::vector<std::string>& UpdaterApp::ReleaseKeys() {
  std::call_once(m_releaseKeysLoaded, [this] { m_releaseKeys = LoadReleaseKeys(AfxGetInstanceHandle()); });
  return m_releaseKeys;
}

const std::string& UpdaterApp::ReleaseNotes() {
  m_notesFetch.Join();
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
