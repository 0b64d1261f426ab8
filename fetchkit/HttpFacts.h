// What a transfer reads from WinINet and keeps beside a partial file: time-out
// defaults, result codes of WinINet's errors, response headers, lengths, and
// the validator a resume needs.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>
#include <string>

namespace fetchkit {

// 15 s to connect, 30 s without a byte; FETCHKIT_TIMEOUTS="CONNECT_MS,INACTIVITY_MS" changes them.
void DefaultTimeouts(DWORD& connectMs, DWORD& inactivityMs);
// Bytes already at the local path; 0 when there is no file.
int64_t LocalFileSize(const wchar_t* path);
unsigned CodeOfWinInetError(DWORD error);
// Implementations differ in the error a time-out gives (Wine reports an
// aborted connection): a call that failed after waiting out its time-out
// timed out.
unsigned FailureCode(DWORD error, DWORD elapsedMs, DWORD timeoutMs);
bool QueryHeader(HINTERNET request, DWORD what, std::string& out);
// A decimal length; -1 when the text is not one.
int64_t ParseLength(const std::string& text);
uint32_t Clamp32(int64_t v);
// The validator of a partial file, kept beside it; empty when there is none.
std::string ReadValidator(const std::wstring& path);
bool WriteValidator(const std::wstring& path, const std::string& validator);
bool HasHeaderToken(const std::string& value, const char* token);
// The code of a local file that could not be made or written (`error`):
// FK_DISK_FULL when its disk is full, else FK_LOCAL_FILE_ERROR.
unsigned LocalFileFailure(DWORD error);

}  // namespace fetchkit
