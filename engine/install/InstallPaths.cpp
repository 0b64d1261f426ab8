#include "engine/install/InstallPaths.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "engine/install/InstallJournal.h"
#include "engine/release/ModuleCatalogue.h"
#include "framework/Text.h"

std::wstring DownloadTargetPath(const std::wstring& moduleDirectory, const std::string& localName, int mode) {
  if (mode == 3) return moduleDirectory + kBackgroundFolder + fw::Ascii(localName);
  return StagedPath(moduleDirectory, localName);
}

std::wstring ArrivalPath(const std::wstring& moduleDirectory, const std::string& localName, int mode) {
  const std::wstring target = DownloadTargetPath(moduleDirectory, localName, mode);
  return mode == 3 ? target + L".part" : target;
}

std::wstring StagedPath(const std::wstring& moduleDirectory, const std::string& localName) {
  return moduleDirectory + kStagingFolder + fw::Ascii(localName) + L".tmp";
}

size_t LongestRunPath(const std::wstring& moduleDirectory, int mode) {
  size_t longest = moduleDirectory.size() + std::wcslen(kInstallJournalName) + std::wcslen(L".new");
  for (const ModuleEntry& row : kModuleCatalogue) {
    const std::string name = row.LocalName();
    const size_t validator = std::wcslen(L".fkv");
    longest = std::max({longest, ArrivalPath(moduleDirectory, name, mode).size() + validator,
                        moduleDirectory.size() + std::wcslen(kStagingFolder) + std::wcslen(kPreviousFolder) + name.size(),
                        moduleDirectory.size() + name.size() + std::wcslen(L".99") + std::wcslen(kSetAsideSuffix)});
  }
  return longest;
}

std::wstring TrimTrailingSeparators(const std::wstring& path) {
  std::wstring trimmed = path;
  if (!trimmed.empty() && trimmed.back() == L'\\') {
    while (!trimmed.empty() && trimmed.back() == L'\\') trimmed.pop_back();
  } else {
    while (!trimmed.empty() && trimmed.back() == L'/') trimmed.pop_back();
  }
  return trimmed;
}

namespace {

// The file system compares names without regard to case; ASCII letters are
// what the folder's own names and the release's differ in.
bool SameLetters(wchar_t a, wchar_t b) {
  if (a == L'/') a = L'\\';
  if (b == L'/') b = L'\\';
  return a == b || (a < 0x80 && b < 0x80 && std::towlower(a) == std::towlower(b));
}

}  // namespace

bool IsDeletablePath(const std::wstring& path, const std::wstring& moduleDirectory) {
  if (moduleDirectory.empty() || moduleDirectory.back() != L'\\') return false;
  const std::wstring trimmed = TrimTrailingSeparators(path);
  if (trimmed.size() <= moduleDirectory.size()) return false;
  for (size_t i = 0; i < moduleDirectory.size(); ++i)
    if (!SameLetters(trimmed[i], moduleDirectory[i])) return false;
  // Every step below the folder must be a real name.
  std::wstring rest = trimmed.substr(moduleDirectory.size()) + L"\\";
  size_t start = 0;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != L'\\' && rest[i] != L'/') continue;
    const std::wstring step = rest.substr(start, i - start);
    if (step.empty() || step == L"." || step == L"..") return false;
    start = i + 1;
  }
  return true;
}

bool IsRecordedModuleName(const std::string& name) {
  return !name.empty() && name.size() <= 64 && name.find_first_of("\\/:*?\"<>|") == std::string::npos &&
         name.front() != '.';
}

bool IsLowerHex(const std::string& text, size_t length) {
  return text.size() == length &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}
