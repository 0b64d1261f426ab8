#include "engine/install/InstallPaths.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/install/InstallJournal.h"
#include "engine/release/ModuleCatalogue.h"

std::string DownloadTargetPath(const std::string& moduleDirectory, const std::string& localName, int mode) {
  if (mode == 3) return moduleDirectory + kBackgroundFolder + localName;
  return StagedPath(moduleDirectory, localName);
}

std::string ArrivalPath(const std::string& moduleDirectory, const std::string& localName, int mode) {
  const std::string target = DownloadTargetPath(moduleDirectory, localName, mode);
  return mode == 3 ? target + ".part" : target;
}

std::string StagedPath(const std::string& moduleDirectory, const std::string& localName) {
  return moduleDirectory + kStagingFolder + localName + ".tmp";
}

size_t LongestRunPath(const std::string& moduleDirectory, int mode) {
  size_t longest = moduleDirectory.size() + std::strlen(kInstallJournalName) + std::strlen(".new");
  for (const ModuleEntry& row : kModuleCatalogue) {
    const std::string name = row.LocalName();
    const size_t validator = std::strlen(".fkv");
    longest = std::max({longest, ArrivalPath(moduleDirectory, name, mode).size() + validator,
                        moduleDirectory.size() + std::strlen(kStagingFolder) + std::strlen(kPreviousFolder) + name.size(),
                        moduleDirectory.size() + name.size() + std::strlen(".99") + std::strlen(kSetAsideSuffix)});
  }
  return longest;
}

std::string TrimTrailingSeparators(const std::string& path) {
  std::string trimmed = path;
  if (!trimmed.empty() && trimmed.back() == '\\') {
    while (!trimmed.empty() && trimmed.back() == '\\') trimmed.pop_back();
  } else {
    while (!trimmed.empty() && trimmed.back() == '/') trimmed.pop_back();
  }
  return trimmed;
}

namespace {

bool SameLetters(char a, char b) {
  if (a == '/') a = '\\';
  if (b == '/') b = '\\';
  return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

bool IsDeletablePath(const std::string& path, const std::string& moduleDirectory) {
  if (moduleDirectory.empty() || moduleDirectory.back() != '\\') return false;
  const std::string trimmed = TrimTrailingSeparators(path);
  if (trimmed.size() <= moduleDirectory.size()) return false;
  for (size_t i = 0; i < moduleDirectory.size(); ++i)
    if (!SameLetters(trimmed[i], moduleDirectory[i])) return false;
  // Every step below the folder must be a real name.
  std::string rest = trimmed.substr(moduleDirectory.size()) + "\\";
  size_t start = 0;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '\\' && rest[i] != '/') continue;
    const std::string step = rest.substr(start, i - start);
    if (step.empty() || step == "." || step == "..") return false;
    start = i + 1;
  }
  return true;
}
