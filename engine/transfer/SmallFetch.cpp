#include "engine/transfer/SmallFetch.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "engine/transfer/DownloadLibrary.h"
#include "framework/Files.h"

SmallFile::SmallFile(const std::string& url, std::wstring localPath, const FetchBounds& bounds)
    : path_(std::move(localPath)), keepFailed_(bounds.keepFailedTransfer) {
  const Download download = NewDownload();
  if (!download) return;
  if (bounds.progressWindow)
    download->SetNotifyWnd(bounds.progressWindow, bounds.progressMessage, FK_DEFAULT_TIMEOUT, FK_DEFAULT_TIMEOUT,
                           FK_RESERVED, FK_REPORT_PROGRESS);
  if (bounds.timeoutMs > 0) download->SetTimeouts(bounds.timeoutMs, bounds.timeoutMs);
  download->SetLimits(bounds.maxBytes, bounds.deadlineMs);
  code_ = download->DownloadW(url.c_str(), path_.c_str(), FK_FETCH_WHOLE | (bounds.revalidate ? FK_REVALIDATE : 0));
  if (code_ != 0) return;
  std::optional<std::string> bytes = fw::ReadWholeFile(path_, bounds.maxBytes);
  if (!bytes) {
    code_ = FK_LOCAL_FILE_ERROR;
    return;
  }
  bytes_ = std::move(*bytes);
  read_ = true;
}

SmallFile::~SmallFile() {
  // A scanner may be looking at the new file: waited out.
  if (read_ || !keepFailed_) fw::DeleteFileWhenFree(path_);
}

bool ServerDidNotAnswer(unsigned code) {
  switch (code) {
    case FK_NO_INTERNET:
    case FK_CONNECT_FAILED:
    case FK_TIMED_OUT:
    case FK_CONNECTION_LOST:
    case FK_TOO_SLOW:
    case FK_SECURE_CHANNEL_ERROR:
      return true;
    default:
      return code >= FK_HTTP_STATUS_BASE + 500 && code < FK_HTTP_STATUS_BASE + 600;
  }
}

int MsUntil(ULONGLONG until) {
  const ULONGLONG now = ::GetTickCount64();
  return now >= until ? 0 : static_cast<int>(std::min<ULONGLONG>(until - now, 0x7FFFFFFF));
}

FirstAnswer FetchFromFirstAnswering(const std::vector<std::string>& bases, const std::string& name,
                                    const std::wstring& localPath, const FetchBounds& bounds) {
  FirstAnswer answer;
  const ULONGLONG until = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(bounds.allBasesDeadlineMs, 0));
  for (const std::string& base : bases) {
    FetchBounds each = bounds;
    if (bounds.allBasesDeadlineMs > 0) {
      // What is left of the whole bound: a long mirror list never stretches it.
      const int left = MsUntil(until);
      if (left == 0) {
        if (answer.base.empty()) answer.code = FK_TIMED_OUT;
        break;
      }
      each.deadlineMs = each.deadlineMs > 0 ? std::min(each.deadlineMs, left) : left;
      each.timeoutMs = each.timeoutMs > 0 ? std::min(each.timeoutMs, left) : left;
    }
    SmallFile file(base + name, localPath, each);
    answer.code = file.code();
    answer.base = base;
    if (file.ok()) answer.bytes = file.TakeBytes();
    if (!ServerDidNotAnswer(answer.code)) break;
  }
  return answer;
}
