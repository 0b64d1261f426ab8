#include "engine/transfer/SmallFetch.h"

#include <windows.h>

#include <memory>

#include "engine/transfer/DownloadLibrary.h"
#include "framework/Files.h"

SmallFile::SmallFile(const std::string& url, std::string localPath, const FetchBounds& bounds)
    : path_(std::move(localPath)), keepFailed_(bounds.keepFailedTransfer) {
  const Download download = NewDownload();
  if (!download) return;
  if (bounds.progressWindow)
    download->SetNotifyWnd(bounds.progressWindow, bounds.progressMessage, FK_DEFAULT_TIMEOUT, FK_DEFAULT_TIMEOUT,
                           FK_RESERVED, FK_REPORT_PROGRESS);
  if (bounds.timeoutMs > 0) download->SetTimeouts(bounds.timeoutMs, bounds.timeoutMs);
  download->SetLimits(bounds.maxBytes, bounds.deadlineMs);
  code_ = download->Download(url.c_str(), path_.c_str(), FK_FETCH_WHOLE);
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
