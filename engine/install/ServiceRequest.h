// Per-machine installs: a product under Program Files, which its users
// cannot write, is updated through a narrow service (service/, built only
// into keyed builds) that installs only what verifies against its own
// release keys. The updater stages a release in the user's own work folder
// and starts the service with two arguments, the install folder and that
// staging folder; the service's outcome is its exit code, which every user
// may query. These are the rules both sides share, without the platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr wchar_t kUpdateServiceName[] = L"VelnoriaUpdaterService";
constexpr wchar_t kUpdateServiceDisplayName[] = L"Velnoria Updater Service";
constexpr char kUpdateServiceProgram[] = "UpdaterService.exe";
// HKLM (the 32-bit view): one REG_SZ value per registered install folder.
constexpr wchar_t kMachineInstallsKey[] = L"Software\\Velnoria\\Updater\\MachineInstalls";
// Inside the install folder, made by the service for administrators only:
// its log ("Service.log") and nothing a user can write.
constexpr wchar_t kServiceFolder[] = L"UpdaterService\\";
constexpr wchar_t kServiceLogName[] = L"Service.log";
// In the staging folder handed over, beside the modules' "<name>.tmp": the
// manifest and its signature as the updater verified them.
constexpr char kStagedManifestName[] = "ModelMD5.dll";
constexpr char kStagedSignatureName[] = "ModelMD5.sig";
constexpr int64_t kStagedManifestMaxBytes = 1 << 20;

// A request's outcome: the service's exit code (service-specific), 0 when
// the release is installed. Every other value left the folder as it was.
enum class ServiceOutcome : uint32_t {
  Installed = 0,
  Arguments = 1,      // not exactly an install folder and a staging folder
  UnsafePath = 2,     // a path that is not a plain local one: "..", too long, a device, a link
  NotRegistered = 3,  // the install folder is not registered for the service
  UnsafeFile = 4,     // a staged entry that is a link, has another name, or is not the release's
  NotSigned = 5,      // no manifest with a signature by the service's keys
  NotTrusted = 6,     // older than the release the folder trusts, other contents, expired
  Mismatch = 7,       // a staged file differs from the signed manifest (SHA-256, size)
  NotInstalled = 8,   // the installation could not complete: the old release stays
  Busy = 9,           // another request is being served
  NotRecovered = 10,  // an interrupted installation of the folder could not be completed yet
  Unavailable = 100,  // (the updater's side) the service is missing, cannot be started or did not answer in time
};
const char* ServiceOutcomeText(ServiceOutcome outcome);

struct ServiceRequest {
  std::wstring folder;   // the install folder, ending with a backslash
  std::wstring staging;  // the staging folder, ending with a backslash
};
// The service's start arguments after its name: exactly two paths, each a
// plain absolute local path (a drive letter, no "." or ".." step, no
// device or stream names, no blanks or dots at a name's end, within
// kMaxRequestPath). Nothing otherwise.
std::optional<ServiceRequest> ParseServiceRequest(const std::vector<std::wstring>& arguments);
constexpr size_t kMaxRequestPath = 200;  // room for the run's own names below it
bool IsPlainLocalPath(const std::wstring& path);

// Whether two paths name the same folder as the file system compares names
// (without regard to case; a trailing backslash does not count).
bool SameFolderName(const std::wstring& a, const std::wstring& b);

// What a staged entry is: one of the release's files ("<name>.tmp", the
// module's installed name), the manifest, its signature; nothing else may be
// there. Or, alone, the note that the product failed on the release on
// probation ("Reverted.ini", as engine/install/Probation.h writes it): the
// previous release goes back. A staging folder with nothing in it asks only
// for an interrupted installation to be completed.
constexpr char kStagedRevertName[] = "Reverted.ini";
// A revert is asked for only while the release can still be on probation:
// within the longest probation, and the time its watcher may wait, of the record.
constexpr uint32_t kRevertWindowSeconds = 600 + 120;
struct StagedEntry {
  enum Kind { Module, Manifest, Signature, Revert } kind;
  std::string module;  // the installed name, for a module
};
std::optional<StagedEntry> StagedEntryOf(const std::wstring& fileName);
