// One queued module download.
#pragma once

#include <cstdint>
#include <string>

struct DownloadTask {
  uint32_t messageId;          // the module's progress message
  std::string localFileName;   // installed name relative to the install folder
  std::string url;             // server base + remote name
  std::string expectedDigest;  // the manifest's fingerprint; empty when it lists none
};
