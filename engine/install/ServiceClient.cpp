#include "engine/install/ServiceClient.h"

#include <windows.h>
#include <shlobj.h>

#include <set>

#include "engine/crypto/Sha256.h"
#include "engine/crypto/Signature.h"
#include "engine/install/FolderLock.h"
#include "engine/install/InstallPaths.h"
#include "engine/install/Preload.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/install/SetAside.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/run/SupportLog.h"
#include "engine/transfer/DownloadTask.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/ScopedSystem.h"
#include "framework/Text.h"

std::vector<std::wstring> RegisteredFolders() {
  std::vector<std::wstring> folders;
  fw::ScopedKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineInstallsKey, 0, KEY_READ | KEY_WOW64_32KEY, key.put()) != ERROR_SUCCESS)
    return folders;
  for (DWORD i = 0; i < 256; ++i) {
    wchar_t name[512];
    wchar_t data[MAX_PATH + 1] = {};
    DWORD nameSize = ARRAYSIZE(name), type = 0, dataSize = sizeof data - sizeof(wchar_t);
    const LONG result =
        ::RegEnumValueW(key.get(), i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_SUCCESS && type == REG_SZ && data[0]) folders.emplace_back(data);
  }
  return folders;
}

bool IsRegisteredFolder(const std::wstring& folder) {
  const std::wstring canonical = CanonicalFolder(folder);
  for (const std::wstring& registered : RegisteredFolders())
    if (SameFolderName(CanonicalFolder(registered), canonical)) return true;
  return false;
}

ServiceOutcome RequestServiceInstall(const std::wstring& folder, const std::wstring& staging, uint32_t waitMs) {
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const fw::ScopedService service(
      manager ? ::OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_START | SERVICE_QUERY_STATUS) : nullptr);
  if (!service) return ServiceOutcome::Unavailable;
  const wchar_t* arguments[] = {folder.c_str(), staging.c_str()};
  if (!::StartServiceW(service.get(), 2, arguments))
    return ::GetLastError() == ERROR_SERVICE_ALREADY_RUNNING ? ServiceOutcome::Busy : ServiceOutcome::Unavailable;
  const DWORD started = ::GetTickCount();
  for (;;) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed))
      return ServiceOutcome::Unavailable;
    if (status.dwCurrentState == SERVICE_STOPPED) {
      if (status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        return static_cast<ServiceOutcome>(status.dwServiceSpecificExitCode);
      return status.dwWin32ExitCode == NO_ERROR ? ServiceOutcome::Installed : ServiceOutcome::Unavailable;
    }
    if (::GetTickCount() - started >= waitMs) return ServiceOutcome::Unavailable;
    ::Sleep(50);
  }
}

std::wstring UserWorkFolder(const std::wstring& installFolder) {
  wchar_t* local = nullptr;
  if (::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &local) != S_OK) return std::wstring();
  const std::wstring base = local;
  ::CoTaskMemFree(local);
  const std::string lock = FolderLockName(installFolder);
  const std::wstring folder = base + L"\\Velnoria\\Updater\\" + fw::Ascii(lock.substr(lock.size() - 16)) + L"\\";
  return fw::MakeFoldersOf(folder + L"x") ? folder : std::wstring();
}

bool UpdateServiceAvailable() {
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  return manager && fw::ScopedService(::OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
}

namespace {

// The staging folder holds what the service is to install and nothing else.
bool PrepareStaging(const std::wstring& staging, const std::vector<DownloadTask>& tasks) {
  ::CreateDirectoryW(staging.c_str(), nullptr);
  std::set<std::wstring> wanted;
  for (const DownloadTask& task : tasks) wanted.insert(fw::Ascii(task.localFileName + ".tmp"));
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW((staging + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L".." || wanted.count(name)) continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      DeletePath(staging + name, staging);
    else
      ::DeleteFileW((staging + name).c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  return true;
}

// The manifest and its signature as the run trusted them, beside the modules.
bool StageSignedManifest(const std::wstring& workFolder, const std::wstring& staging, const std::string& manifestSha256) {
  const std::optional<std::string> kept = fw::ReadWholeFile(PathIn(workFolder, kKeptReleaseName), kStagedManifestMaxBytes + 64);
  if (!kept || kept->size() <= kP256SignatureSize) return false;
  const std::string signature = kept->substr(0, kP256SignatureSize), manifest = kept->substr(kP256SignatureSize);
  if (Sha256OfBytes(manifest) != manifestSha256) return false;
  return fw::WriteWholeFile(PathIn(staging, kStagedManifestName), manifest) &&
         fw::WriteWholeFile(PathIn(staging, kStagedSignatureName), signature);
}

ServiceOutcome Ask(const std::wstring& installFolder, const std::wstring& workFolder, const std::wstring& staging,
                   const char* what) {
  const DWORD asked = ::GetTickCount();
  const ServiceOutcome outcome = RequestServiceInstall(installFolder, staging);
  SupportLog(workFolder, "service: %s of %s: %s (after %lu ms)", what, fw::Utf8(installFolder).c_str(),
             ServiceOutcomeText(outcome), ::GetTickCount() - asked);
  return outcome;
}

}  // namespace

ServiceOutcome InstallThroughService(const std::wstring& installFolder, const std::wstring& workFolder,
                                     const std::vector<DownloadTask>& tasks, const std::string& manifestSha256) {
  const std::wstring staging = workFolder + kStagingFolder;
  if (!PrepareStaging(staging, tasks) || !StageSignedManifest(workFolder, staging, manifestSha256)) {
    SupportLog(workFolder, "service: the signed manifest of the release could not be staged beside its modules");
    return ServiceOutcome::NotSigned;
  }
  return Ask(installFolder, workFolder, staging, "the installation");
}

namespace {

// A request of its own, in a staging folder of its own: nothing staged, or a note.
ServiceOutcome AskWith(const std::wstring& installFolder, const std::wstring& workFolder, const char* what,
                       const std::string& note) {
  const std::wstring staging = workFolder + L"Request\\";
  DeletePath(staging, workFolder);
  if (!::CreateDirectoryW(staging.c_str(), nullptr) ||
      (!note.empty() && !fw::WriteWholeFile(PathIn(staging, kStagedRevertName), note)))
    return ServiceOutcome::Unavailable;
  const ServiceOutcome outcome = Ask(installFolder, workFolder, staging, what);
  DeletePath(staging, workFolder);
  return outcome;
}

}  // namespace

ServiceOutcome RecoverThroughService(const std::wstring& installFolder, const std::wstring& workFolder) {
  return AskWith(installFolder, workFolder, "the recovery", std::string());
}

ServiceOutcome RevertThroughService(const std::wstring& installFolder, const std::wstring& workFolder,
                                    const std::string& note) {
  return AskWith(installFolder, workFolder, "the revert", note);
}

std::optional<ServiceOutcome> InstallPreloadThroughService(const std::wstring& installFolder,
                                                           const std::wstring& workFolder) {
  const PreloadMarker marker = ReadPreloadMarker(workFolder);
  if (!marker.ready || marker.release <= RecordedReleaseNumber(installFolder, ReleaseRecord::Installed))
    return std::nullopt;
  // Copies, never second names: the service takes no file with two.
  const std::wstring preload = workFolder + kBackgroundFolder, staging = workFolder + kStagingFolder;
  DeletePath(staging, workFolder);
  ::CreateDirectoryW(staging.c_str(), nullptr);
  std::vector<DownloadTask> tasks;
  for (const std::string& name : ReleaseFileNames()) {
    const std::wstring file = PathIn(preload, name);
    if (!fw::PathExists(file)) continue;
    if (!::CopyFileW(file.c_str(), (PathIn(staging, name) + L".tmp").c_str(), FALSE)) {
      SupportLog(workFolder, "pre-load: %s could not be staged for the service (error %lu)", name.c_str(), ::GetLastError());
      DeletePath(staging, workFolder);
      return ServiceOutcome::NotInstalled;
    }
    tasks.push_back(DownloadTask{0, name, {}, {}, {}, -1, {}, {}, {}});
  }
  const ServiceOutcome outcome = InstallThroughService(installFolder, workFolder, tasks, marker.manifestSha256);
  DeletePath(staging, workFolder);
  if (outcome == ServiceOutcome::Installed) {
    RecordReleaseNumber(workFolder, ReleaseRecord::Installed, marker.release);
    DeletePath(preload, workFolder);
    SupportLog(workFolder, "pre-load: signed release %lld installed by the update service",
               static_cast<long long>(marker.release));
  }
  return outcome;
}
