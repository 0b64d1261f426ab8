// Checks a module while its bytes arrive: the fingerprint (and, for a signed
// release, the SHA-256 and size) is worked out from what the download
// library writes, so that nothing is left to read once the last byte is in.
// Where the bytes could not all be seen (a transfer resumed from a file this
// check cannot read, a size never announced), the file is read as before.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/transfer/DownloadTask.h"
#include "engine/release/ModuleDigest.h"
#include "engine/crypto/Sha256.h"
#include "fetchkit/HttpDownload.h"

// A downloaded or staged file is the module its task names: the manifest's
// fingerprint and, for a signed release, the signed SHA-256 and size. The
// file is read once, for both.
bool FileMatchesTask(const std::wstring& path, const DownloadTask& task);

// The fingerprint of a file and, when asked, its SHA-256, from one read; false
// when the file cannot be read (both are then empty).
bool FingerprintFile(const std::wstring& path, bool withSha256, std::string& digest, std::string& sha256);

class ArrivalCheck final : public FkReceiver {
 public:
  // `path` is where the transfer writes.
  ArrivalCheck(DownloadTask task, std::wstring path);

  void OnBytes(int64_t total, int64_t offset, const void* bytes, uint32_t count) override;

  // Whether the file at the path is the task's module, decided from the
  // bytes seen; nothing when they were not the whole file (then the file
  // must be read: FileMatchesTask).
  std::optional<bool> Verdict() const;

 private:
  void Start(int64_t total);
  void Feed(const void* bytes, uint32_t count);
  // The file's bytes from `fed_` up to `offset`, from the file itself.
  bool CatchUp(int64_t offset);

  friend bool FileMatchesTask(const std::wstring& path, const DownloadTask& task);

  const DownloadTask task_;
  const std::wstring path_;
  int64_t length_ = -1;  // of the file being checked; -1: not known
  int64_t fed_ = 0;
  bool started_ = false;
  bool lost_ = false;    // some bytes were not seen: the file decides
  std::unique_ptr<ModuleDigester> digester_;
  std::unique_ptr<Sha256> sha256_;
};
