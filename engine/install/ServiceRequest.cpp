#include "engine/install/ServiceRequest.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "engine/release/ModuleCatalogue.h"
#include "framework/Text.h"

const char* ServiceOutcomeText(ServiceOutcome outcome) {
  switch (outcome) {
    case ServiceOutcome::Installed: return "installed";
    case ServiceOutcome::Arguments: return "refused: not started with exactly an install folder and a staging folder";
    case ServiceOutcome::UnsafePath: return "refused: a path that is not a plain local one";
    case ServiceOutcome::NotRegistered: return "refused: the install folder is not registered for the service";
    case ServiceOutcome::UnsafeFile:
      return "refused: a staged entry is a link, has a second name, or is not one of the release's files";
    case ServiceOutcome::NotSigned: return "refused: the staged manifest has no signature by the service's keys";
    case ServiceOutcome::NotTrusted:
      return "refused: the release is older than the one the folder trusts, has other contents, or expired";
    case ServiceOutcome::Mismatch: return "refused: a staged file differs from the signed manifest";
    case ServiceOutcome::NotInstalled: return "not installed: a module stayed in use, the old release stays";
    case ServiceOutcome::Busy: return "refused: another request is being served";
    case ServiceOutcome::NotRecovered: return "refused: an interrupted installation could not be completed yet";
    case ServiceOutcome::Unavailable: return "the service is missing, could not be started or did not answer in time";
  }
  return "an unknown outcome";
}

namespace {

bool IsReservedDeviceName(std::wstring name) {
  const size_t dot = name.find(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices)
    if (name == device) return true;
  return name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
         name[3] >= L'0' && name[3] <= L'9';
}

// One name of a path: what the file system takes as it is written.
bool IsPlainName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  if (name.back() == L' ' || name.back() == L'.') return false;  // the platform drops them: another name for the same file
  for (wchar_t c : name)
    if (c < 32 || std::wcschr(L"<>:\"/\\|?*", c)) return false;
  return !IsReservedDeviceName(name);
}

std::wstring WithTrailingBackslash(std::wstring path) {
  if (!path.empty() && path.back() != L'\\') path += L'\\';
  return path;
}

}  // namespace

bool IsPlainLocalPath(const std::wstring& path) {
  if (path.size() < 3 || path.size() > kMaxRequestPath) return false;
  const wchar_t drive = static_cast<wchar_t>(std::towupper(path[0]));
  if (drive < L'A' || drive > L'Z' || path[1] != L':' || path[2] != L'\\') return false;
  size_t start = 3;
  while (start < path.size()) {
    size_t end = path.find(L'\\', start);
    if (end == std::wstring::npos) end = path.size();
    if (!IsPlainName(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

std::optional<ServiceRequest> ParseServiceRequest(const std::vector<std::wstring>& arguments) {
  if (arguments.size() != 2) return std::nullopt;
  for (const std::wstring& path : arguments)
    if (!IsPlainLocalPath(path)) return std::nullopt;
  ServiceRequest request{WithTrailingBackslash(arguments[0]), WithTrailingBackslash(arguments[1])};
  // The staging folder never lies in the install folder, nor the other way round.
  const size_t shorter = std::min(request.folder.size(), request.staging.size());
  if (SameFolderName(request.folder.substr(0, shorter), request.staging.substr(0, shorter))) return std::nullopt;
  return request;
}

bool SameFolderName(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = WithTrailingBackslash(a), y = WithTrailingBackslash(b);
  if (x.size() != y.size()) return false;
  for (size_t i = 0; i < x.size(); ++i)
    if (std::towupper(x[i]) != std::towupper(y[i])) return false;
  return true;
}

std::optional<StagedEntry> StagedEntryOf(const std::wstring& fileName) {
  // Exactly as the updater names them: no other spelling of a name.
  if (fileName == fw::Ascii(kStagedManifestName)) return StagedEntry{StagedEntry::Manifest, {}};
  if (fileName == fw::Ascii(kStagedSignatureName)) return StagedEntry{StagedEntry::Signature, {}};
  if (fileName == fw::Ascii(kStagedRevertName)) return StagedEntry{StagedEntry::Revert, {}};
  for (const std::string& module : ReleaseFileNames())
    if (fileName == fw::Ascii(module + ".tmp")) return StagedEntry{StagedEntry::Module, module};
  return std::nullopt;
}
