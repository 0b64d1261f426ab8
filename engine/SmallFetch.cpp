#include "engine/SmallFetch.h"

#include <windows.h>

#include <memory>

#include "engine/DownloadLibrary.h"
#include "framework/Scoped.h"

SmallFile::SmallFile(const std::string& url, std::string localPath, const FetchBounds& bounds)
    : path_(std::move(localPath)), keepFailed_(bounds.keepFailedTransfer) {
  const std::unique_ptr<CHttpDownload> download(NewDownload());
  if (!download) return;
  if (bounds.timeoutMs > 0) download->SetTimeouts(bounds.timeoutMs, bounds.timeoutMs);
  download->SetLimits(bounds.maxBytes, bounds.deadlineMs);
  code_ = download->Download(url.c_str(), path_.c_str(), FK_FETCH_WHOLE);
  if (code_ != 0) return;
  fw::ScopedFile file(::CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return;
  char buffer[16384];
  DWORD got = 0;
  while (static_cast<int64_t>(bytes_.size()) < bounds.maxBytes &&
         ::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
    bytes_.append(buffer, got);
  if (static_cast<int64_t>(bytes_.size()) > bounds.maxBytes) bytes_.resize(static_cast<size_t>(bounds.maxBytes));
  read_ = true;
}

SmallFile::~SmallFile() {
  if (read_ || !keepFailed_) ::DeleteFileA(path_.c_str());
}
