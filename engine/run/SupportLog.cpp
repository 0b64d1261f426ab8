#include "engine/run/SupportLog.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "framework/Files.h"
#include "framework/Paths.h"

namespace {

constexpr DWORD kLogLimit = 256 * 1024;

// The download workers log at once: appends through several handles are not
// atomic everywhere (Wine seeks to the end, then writes, and a line can land
// on another), so this process's lines go one at a time, in time order.
std::mutex g_appending;
// Set once, before any thread: every line goes there and nowhere else.
std::wstring g_onlyPath;

// One append of one whole line.
bool Append(const std::wstring& path, const std::string& line) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow > kLogLimit)
    ::MoveFileExW(path.c_str(), (path + L".old").c_str(), MOVEFILE_REPLACE_EXISTING);
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
                  written == line.size();
  ::CloseHandle(file);
  return ok;
}

}  // namespace

std::wstring FallbackSupportLogPath() {
  const std::wstring temp = fw::TempFolder();
  return temp.empty() ? std::wstring() : PathIn(temp + L"Velnoria-", kSupportLogName);
}

void SupportLog(const std::wstring& folder, const char* format, ...) {
  if (folder.empty()) return;
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  const std::lock_guard<std::mutex> one(g_appending);
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, ::GetCurrentProcessId());
  const std::string line = stamp + std::string(text) + "\r\n";
  if (!g_onlyPath.empty()) {
    Append(g_onlyPath, line);
    return;
  }
  if (!Append(PathIn(folder, kSupportLogName), line)) {
    const std::wstring fallback = FallbackSupportLogPath();
    if (!fallback.empty()) Append(fallback, line);
  }
}

void SendSupportLogOnlyTo(const std::wstring& path) { g_onlyPath = path; }
