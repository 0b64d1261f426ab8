#include "framework/Files.h"

#include <windows.h>

#include "framework/Scoped.h"

namespace fw {

std::string TempFolder() {
  char temp[MAX_PATH] = {};
  const DWORD n = ::GetTempPathA(MAX_PATH, temp);
  return n == 0 || n >= MAX_PATH ? std::string() : std::string(temp, n);
}

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

std::optional<std::string> ReadWholeFile(const std::string& path, int64_t maxBytes) {
  ScopedFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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

bool DeleteFileWhenFree(const std::string& path) {
  return RetryWhileHeld([&] { return ::DeleteFileA(path.c_str()) != FALSE || !PathExists(path); });
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  {
    ScopedFile file(::CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    DWORD error = 0;
    const bool ok = file && WriteAll(file.get(), bytes.data(), bytes.size(), error) && ::FlushFileBuffers(file.get());
    if (!ok) {
      file.reset();
      ::DeleteFileA(temporary.c_str());
      return false;
    }
  }
  if (RetryWhileHeld([&] {
        return ::MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
      }))
    return true;
  ::DeleteFileA(temporary.c_str());
  return false;
}

}  // namespace fw

bool IsAnsiLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; }
