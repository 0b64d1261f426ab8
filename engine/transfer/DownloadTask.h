// One queued module download.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One way to a module's new file, cheapest first: a patch from the installed
// file, the module deflated, or the module itself.
struct FetchWay {
  enum Kind { Patch, Compressed, Whole } kind = Whole;
  std::string url;     // where the patch or the deflated module is; empty for Whole (the task's URL)
  int64_t size = -1;   // the listed size of what is fetched
  std::string sha256;  // the listed SHA-256 of what is fetched
  int64_t moduleSize = -1;  // what it gives: the module's listed size, a bound on the result
};

struct DownloadTask {
  uint32_t messageId;          // the module's progress message
  std::string localFileName;   // installed name relative to the install folder
  std::string url;             // server base + remote name
  std::string expectedDigest;  // the manifest's fingerprint; empty when it lists none
  // For a signed release: the signed SHA-256 and size; else empty and -1.
  std::string sha256;
  int64_t size = -1;
  // Cheaper ways tried before the module itself, cheapest first.
  std::vector<FetchWay> cheaper;
};
