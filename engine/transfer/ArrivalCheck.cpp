#include "engine/transfer/ArrivalCheck.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

#include "framework/Files.h"
#include "framework/Scoped.h"

ArrivalCheck::ArrivalCheck(DownloadTask task, std::wstring path) : task_(std::move(task)), path_(std::move(path)) {}

void ArrivalCheck::Start(int64_t total) {
  // A signed release says the length; otherwise the response does.
  length_ = task_.size >= 0 ? task_.size : total;
  started_ = true;
  fed_ = 0;
  lost_ = length_ < 0 || length_ > INT32_MAX || !ModuleDigester::Streams(kModuleDigestKey, static_cast<int32_t>(length_));
  digester_.reset();
  sha256_.reset();
  if (lost_) return;
  digester_ = std::make_unique<ModuleDigester>(kModuleDigestKey, static_cast<int32_t>(length_));
  if (!task_.sha256.empty()) sha256_ = std::make_unique<Sha256>();
}

void ArrivalCheck::Feed(const void* bytes, uint32_t count) {
  // Bytes beyond the length make the file another one: Finish says so.
  digester_->Add(static_cast<const uint8_t*>(bytes), count);
  if (sha256_ && !sha256_->Add(bytes, count)) lost_ = true;
  fed_ += count;
}

bool ArrivalCheck::CatchUp(int64_t offset) {
  fw::ScopedFile file(::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  LARGE_INTEGER at{};
  at.QuadPart = fed_;
  if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN)) return false;
  std::vector<char> buffer(256 * 1024);
  while (fed_ < offset) {
    const DWORD want = static_cast<DWORD>(std::min<int64_t>(offset - fed_, static_cast<int64_t>(buffer.size())));
    DWORD got = 0;
    if (!::ReadFile(file.get(), buffer.data(), want, &got, nullptr) || got != want) return false;
    Feed(buffer.data(), got);
  }
  return true;
}

void ArrivalCheck::OnBytes(int64_t total, int64_t offset, const void* bytes, uint32_t count) {
  // The first bytes, or a file that starts over.
  if (!started_ || offset == 0) Start(total);
  if (lost_) return;
  // A resumed transfer: its earlier bytes are in the file already.
  if (offset != fed_ && !(offset > fed_ && CatchUp(offset))) {
    lost_ = true;
    return;
  }
  Feed(bytes, count);
}

std::optional<bool> ArrivalCheck::Verdict() const {
  if (lost_ || !digester_ || fed_ != length_ || fw::FileSize(path_) != length_) return std::nullopt;
  if (task_.expectedDigest.empty() || digester_->Finish() != task_.expectedDigest) return false;
  return task_.sha256.empty() || (length_ == task_.size && sha256_->FinishHex() == task_.sha256);
}

bool FileMatchesTask(const std::wstring& path, const DownloadTask& task) {
  // The file's bytes, all of them already there, go through the same check.
  const int64_t size = fw::FileSize(path);
  if (size < 0) return false;
  ArrivalCheck check(task, path);
  check.Start(size);
  if (!check.lost_ && !check.CatchUp(size)) return false;
  return check.Verdict().value_or(false);
}

bool FingerprintFile(const std::wstring& path, bool withSha256, std::string& digest, std::string& sha256) {
  digest.clear();
  sha256.clear();
  const int64_t size = fw::FileSize(path);
  if (size < 0 || size > INT32_MAX) return false;
  // The step-by-step rules read the file twice; so does the rare file that needs them.
  const bool streams = ModuleDigester::Streams(kModuleDigestKey, static_cast<int32_t>(size));
  if (!streams) digest = ModuleDigest(path, kModuleDigestKey);
  fw::ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return false;
  ModuleDigester digester(kModuleDigestKey, streams ? static_cast<int32_t>(size) : 0);
  Sha256 hash;
  std::vector<char> buffer(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(size, 1), 1 << 20)));
  int64_t done = 0;
  DWORD got = 0;
  while ((streams || withSha256) && done < size &&
         ::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
    if (streams) digester.Add(reinterpret_cast<const uint8_t*>(buffer.data()), got);
    if (withSha256) hash.Add(buffer.data(), got);
    done += got;
  }
  if ((streams || withSha256) && done != size) {
    digest.clear();
    return false;
  }
  if (streams) digest = digester.Finish();
  if (withSha256) sha256 = hash.FinishHex();
  return !digest.empty();
}
