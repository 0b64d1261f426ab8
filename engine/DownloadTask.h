// One queued module download.
#pragma once

#include <cstdint>
#include <string>

struct DownloadTask {
  uint32_t messageId;          // the module's progress message
  std::string localFileName;   // installed name relative to the install folder
  std::string url;             // server base + remote name
  std::string expectedDigest;  // the manifest's fingerprint; empty when it lists none
  // For a signed release: the signed SHA-256 and size; else empty and -1.
  std::string sha256;
  int64_t size = -1;
};
