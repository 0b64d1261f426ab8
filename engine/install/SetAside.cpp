#include "engine/install/SetAside.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/install/InstallPaths.h"
#include "engine/release/ModuleCatalogue.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/Text.h"

using fw::PathExists;

bool DeletePath(std::wstring path, const std::wstring& installFolder) {
  path = TrimTrailingSeparators(path);
  if (path.empty() || !IsDeletablePath(path, installFolder)) return false;
  std::vector<wchar_t> list(path.size() + 2, L'\0');  // one entry, then the list's end
  path.copy(list.data(), path.size());
  SHFILEOPSTRUCTW op{};
  op.hwnd = nullptr;
  op.wFunc = FO_DELETE;
  op.pFrom = list.data();
  op.pTo = nullptr;
  // No box of any kind: a failed delete is only a result (a hidden updater
  // has no one to answer it).
  op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  return ::SHFileOperationW(&op) == 0;
}

namespace {

// The names a module is moved aside under: "<module>.del", and while that one
// is held open, "<module>.1.del" to "<module>.99.del".
constexpr int kSetAsideNames = 100;
std::wstring SetAsideName(const std::wstring& installed, int n) {
  return n == 0 ? installed + kSetAsideSuffix : installed + L"." + std::to_wstring(n) + kSetAsideSuffix;
}

}  // namespace

std::wstring FreeSetAsideName(const std::wstring& installed, const std::wstring& installFolder) {
  std::wstring aside = SetAsideName(installed, 0);
  if (PathExists(aside)) DeletePath(aside, installFolder);
  for (int n = 1; PathExists(aside) && n < kSetAsideNames; ++n) aside = SetAsideName(installed, n);
  return aside;
}

bool MoveInto(const std::wstring& staged, const std::wstring& installed, bool replace) {
  const DWORD flags = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
  return ::MoveFileExW(staged.c_str(), installed.c_str(), flags) != FALSE;
}

bool MoveIntoWhenFree(const std::wstring& staged, const std::wstring& installed) {
  return fw::RetryWhileHeld([&] { return MoveInto(staged, installed, true); });
}

void RestoreSetAsideModules(const std::wstring& installFolder) {
  for (const ModuleEntry& row : kModuleCatalogue) {
    const std::wstring installed = PathIn(installFolder, row.LocalName());
    if (PathExists(installed)) continue;
    // Older copies may still sit under other set-aside names, held open by
    // an earlier run: the one written last is the module's version.
    std::wstring newest;
    FILETIME newestTime{};
    for (int n = -1; n < kSetAsideNames; ++n) {
      // -1: the copy an installation keeps until the whole release is in.
      const std::wstring aside =
          n < 0 ? PathIn(installFolder + kStagingFolder + kPreviousFolder, row.LocalName()) : SetAsideName(installed, n);
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (!::GetFileAttributesExW(aside.c_str(), GetFileExInfoStandard, &data)) continue;
      if (newest.empty() || ::CompareFileTime(&data.ftLastWriteTime, &newestTime) > 0) {
        newest = aside;
        newestTime = data.ftLastWriteTime;
      }
    }
    if (!newest.empty()) ::MoveFileExW(newest.c_str(), installed.c_str(), MOVEFILE_WRITE_THROUGH);
  }
}

void RemoveSetAsideLeftovers(const std::wstring& installFolder) {
  // One look at the folder: the set-aside names end in ".del".
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((installFolder + L"*" + kSetAsideSuffix).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> leftovers;
  do leftovers.push_back(found.cFileName);
  while (::FindNextFileW(search, &found));
  ::FindClose(search);
  for (const std::string& ascii : ReleaseFileNames()) {
    const std::wstring name = fw::Ascii(ascii);
    for (const std::wstring& leftover : leftovers)
      // "<name>.del" or "<name>.<n>.del", and the file itself is there again.
      if (leftover.size() > name.size() && _wcsnicmp(leftover.c_str(), name.c_str(), name.size()) == 0 &&
          leftover[name.size()] == L'.' && fw::PathExists(installFolder + name))
        DeletePath(installFolder + leftover, installFolder);
  }
}
