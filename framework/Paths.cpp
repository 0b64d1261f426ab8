#include "framework/Paths.h"

#include "framework/Text.h"

std::wstring DirectoryUpToLastBackslash(const std::wstring& path) {
  const auto pos = path.rfind(L'\\');
  return pos == std::wstring::npos ? std::wstring() : path.substr(0, pos + 1);
}

std::wstring GetDirectoryOfPath(const std::wstring& path) {
  std::wstring dir = DirectoryUpToLastBackslash(path);
  if (dir.empty()) {
    const auto pos = path.rfind(L'/');
    if (pos != std::wstring::npos) dir = path.substr(0, pos + 1);
  }
  return dir;
}

std::wstring PathIn(const std::wstring& folder, std::string_view name) { return folder + fw::Ascii(name); }
