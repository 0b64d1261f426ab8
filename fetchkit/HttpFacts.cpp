#include "fetchkit/HttpFacts.h"

#include <cctype>
#include <cstdlib>
#include <vector>

#include "fetchkit/HttpDownload.h"
#include "framework/Files.h"
#include "framework/Scoped.h"

namespace fetchkit {

void DefaultTimeouts(DWORD& connectMs, DWORD& inactivityMs) {
  connectMs = 15000;
  inactivityMs = 30000;
  char value[64] = {};
  const DWORD n = ::GetEnvironmentVariableA("FETCHKIT_TIMEOUTS", value, sizeof value);
  if (n == 0 || n >= sizeof value) return;
  char* end = nullptr;
  const long connect = std::strtol(value, &end, 10);
  if (end && *end == ',') {
    const long inactivity = std::strtol(end + 1, nullptr, 10);
    if (inactivity > 0) inactivityMs = static_cast<DWORD>(inactivity);
  }
  if (connect > 0) connectMs = static_cast<DWORD>(connect);
}

int64_t LocalFileSize(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

unsigned CodeOfWinInetError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_TIMEOUT:
      return FK_TIMED_OUT;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_PROXY_SERVER_UNREACHABLE:
      return FK_CONNECT_FAILED;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_OPERATION_CANCELLED:
      return FK_CONNECTION_LOST;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return FK_SECURE_CHANNEL_ERROR;
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
    case ERROR_HTTP_INVALID_HEADER:
      return FK_PROTOCOL_ERROR;
    default:
      return FK_CONNECT_FAILED;
  }
}

unsigned FailureCode(DWORD error, DWORD elapsedMs, DWORD timeoutMs) {
  const unsigned code = CodeOfWinInetError(error);
  if (code == FK_SECURE_CHANNEL_ERROR || code == FK_PROTOCOL_ERROR) return code;
  if (timeoutMs > 200 && elapsedMs + 100 >= timeoutMs) return FK_TIMED_OUT;
  return code;
}

bool QueryHeader(HINTERNET request, DWORD what, std::string& out) {
  DWORD size = 256;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<char> buffer(size + 1, '\0');
    DWORD length = size;
    if (::HttpQueryInfoA(request, what, buffer.data(), &length, nullptr)) {
      out.assign(buffer.data(), length);
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    size = length + 1;
  }
  return false;
}

int64_t ParseLength(const std::string& text) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    if (value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

uint32_t Clamp32(int64_t v) { return v < 0 ? 0 : v > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

std::string ReadValidator(const std::wstring& path) { return fw::ReadWholeFile(path, 511).value_or(std::string()); }

bool WriteValidator(const std::wstring& path, const std::string& validator) {
  fw::ScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD error = 0;
  return file && fw::WriteAll(file.get(), validator.data(), validator.size(), error);
}

bool HasHeaderToken(const std::string& value, const char* token) {
  std::string lower = value;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(token) != std::string::npos;
}

unsigned LocalFileFailure(DWORD error) {
  return fw::IsDiskFull(error) ? FK_DISK_FULL : FK_LOCAL_FILE_ERROR;
}

}  // namespace fetchkit
