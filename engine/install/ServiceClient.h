// The updater's side of per-machine installs (engine/install/ServiceRequest.h):
// whether an install folder is registered for the service, and one request
// to it, waited for within a bound.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/install/ServiceRequest.h"

// The folders registered under HKLM\Software\Velnoria\Updater\MachineInstalls
// (the 32-bit view, whichever program reads it), as registered.
std::vector<std::wstring> RegisteredFolders();
// True when `folder` is one of them, compared by canonical path (long
// names, links resolved, without regard to case).
bool IsRegisteredFolder(const std::wstring& folder);

// The user's own folder for an install folder: where an updater in a
// registered folder works, since it cannot write the install folder, and
// where every updater keeps its download library's copy. The user's
// "%LOCALAPPDATA%\Velnoria\Updater\" and
// the folder lock's 16 digits of the install folder, with a trailing
// backslash (made when missing). Empty when it cannot be made.
std::wstring UserWorkFolder(const std::wstring& installFolder);

// Whether the service is there and this user may start it.
bool UpdateServiceAvailable();

// Starts the service with the install folder and the staging folder and
// waits, at most `waitMs`, for it to stop; its outcome. Unavailable when it
// is not installed, cannot be started, or does not stop in time; Busy when
// another request is being served.
constexpr uint32_t kServiceRequestWaitMs = 120000;
ServiceOutcome RequestServiceInstall(const std::wstring& folder, const std::wstring& staging,
                                     uint32_t waitMs = kServiceRequestWaitMs);

// The finish in a registered folder: the staging folder of `workFolder`
// holds exactly the staged modules of `tasks` (anything else goes) and the
// signed manifest of SHA-256 `manifestSha256` with its signature (from the
// release the run trusted, kept in `workFolder`); then the service is asked
// to install them into `installFolder`. The support log says how it went.
struct DownloadTask;
ServiceOutcome InstallThroughService(const std::wstring& installFolder, const std::wstring& workFolder,
                                     const std::vector<DownloadTask>& tasks, const std::string& manifestSha256);
// A request with nothing staged: the service only completes an installation
// of `installFolder` that a stop interrupted.
ServiceOutcome RecoverThroughService(const std::wstring& installFolder, const std::wstring& workFolder);
// The product failed on the release on probation in `installFolder`: the
// service puts the previous release back. `note`: the failure, as Reverted.ini.
ServiceOutcome RevertThroughService(const std::wstring& installFolder, const std::wstring& workFolder,
                                    const std::string& note);
// At the product's start in a registered folder (mode 3, before the product
// loads its modules): a complete pre-load in `workFolder` of a signed
// release newer than the one installed goes in through the service.
// Nothing when there is none to install.
std::optional<ServiceOutcome> InstallPreloadThroughService(const std::wstring& installFolder,
                                                           const std::wstring& workFolder);
