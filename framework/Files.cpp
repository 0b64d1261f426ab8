#include "framework/Files.h"

#include <windows.h>

#include "framework/Scoped.h"

namespace fw {

std::wstring TempFolder() {
  wchar_t temp[MAX_PATH] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH, temp);
  return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(temp, n);
}

std::wstring ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return std::wstring();
    if (n < path.size()) return path.substr(0, n);
    if (path.size() >= 32768) return std::wstring();
    path.resize(path.size() * 2);
  }
}

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring FinalPathOf(void* handle) {
  std::wstring buffer(32768, L'\0');
  const DWORD n = ::GetFinalPathNameByHandleW(handle, &buffer[0], static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n == 0 || n >= buffer.size()) return std::wstring();
  buffer.resize(n);
  return buffer;
}

int64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool MakeFoldersOf(const std::wstring& path) {
  // From the first separator after the root on: "C:\" and "\\server\share\" are there.
  size_t from = path.size() > 2 && path[1] == L':' ? 3 : 0;
  if (path.rfind(L"\\\\", 0) == 0) {
    const size_t server = path.find(L'\\', 2);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    if (share == std::wstring::npos) return true;
    from = share + 1;
  }
  for (size_t at = path.find(L'\\', from); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    if (at == 0 || path[at - 1] == L'\\') continue;
    const std::wstring folder = path.substr(0, at);
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      const DWORD attributes = ::GetFileAttributesW(folder.c_str());
      if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    }
  }
  return true;
}

std::optional<std::string> ReadWholeFile(const std::wstring& path, int64_t maxBytes) {
  ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  LARGE_INTEGER size{};
  if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart > maxBytes || size.QuadPart > INT32_MAX)
    return std::nullopt;
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!bytes.empty() &&
      (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &got, nullptr) || got != bytes.size()))
    return std::nullopt;
  return bytes;
}

bool WriteAll(void* file, const void* bytes, size_t count, unsigned long& error) {
  DWORD written = 0;
  if (!::WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr)) {
    error = ::GetLastError();
    return false;
  }
  if (written == count) return true;
  error = ERROR_DISK_FULL;
  return false;
}

bool IsDiskFull(unsigned long error) { return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL; }

bool IsHeldByAnother(unsigned long error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

bool RetryWhileHeld(const std::function<bool()>& step, uint32_t waitMs) {
  const DWORD started = ::GetTickCount();
  for (DWORD pause = 25;; pause = pause < 400 ? pause * 2 : 400) {
    if (step()) return true;
    const DWORD error = ::GetLastError();
    const DWORD spent = ::GetTickCount() - started;
    if (!IsHeldByAnother(error) || spent >= waitMs) {
      ::SetLastError(error);
      return false;
    }
    ::Sleep(pause < waitMs - spent ? pause : waitMs - spent);
  }
}

bool DeleteFileWhenFree(const std::wstring& path) {
  return RetryWhileHeld([&] { return ::DeleteFileW(path.c_str()) != FALSE || !PathExists(path); });
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
  const std::wstring temporary = path + L".new";
  {
    ScopedFile file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    DWORD error = 0;
    const bool ok = file && WriteAll(file.get(), bytes.data(), bytes.size(), error) && ::FlushFileBuffers(file.get());
    if (!ok) {
      file.reset();
      ::DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (RetryWhileHeld([&] {
        return ::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      }))
    return true;
  ::DeleteFileW(temporary.c_str());
  return false;
}

}  // namespace fw
