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

#include "engine/DownloadTask.h"
#include "engine/ModuleDigest.h"
#include "engine/ReleaseTrust.h"
#include "fetchkit/HttpDownload.h"

class ArrivalCheck final : public FkReceiver {
 public:
  // `path` is where the transfer writes.
  ArrivalCheck(DownloadTask task, std::string path);

  void OnBytes(int64_t total, int64_t offset, const void* bytes, uint32_t count) override;

  // True when the file at the path is the task's module. Decided from the
  // bytes seen when they were the whole file; otherwise from the file.
  bool Matches() const;
  // True when the bytes seen decide Matches without reading the file.
  bool SawWholeFile() const;

 private:
  void Start(int64_t total);
  void Feed(const void* bytes, uint32_t count);
  // The file's bytes from `fed_` up to `offset`, from the file itself.
  bool CatchUp(int64_t offset);

  const DownloadTask task_;
  const std::string path_;
  int64_t length_ = -1;  // of the file being checked; -1: not known
  int64_t fed_ = 0;
  bool started_ = false;
  bool lost_ = false;    // some bytes were not seen: the file decides
  std::unique_ptr<ModuleDigester> digester_;
  std::unique_ptr<Sha256> sha256_;
};
