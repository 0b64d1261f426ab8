// One queued module download.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One way to a module's new file, cheapest first: a patch from the installed
// file, the module deflated, or the module itself.
struct FetchWay {
  enum Kind { Patch, Compressed, Whole } kind = Whole;
  std::string name;    // the patch's or the deflated module's name under each of the task's bases
  int64_t size = -1;   // the listed size of what is fetched
  std::string sha256;  // the listed SHA-256 of what is fetched
  int64_t moduleSize = -1;  // what it gives: the module's listed size, a bound on the result
};

struct DownloadTask {
  uint32_t messageId;          // the module's progress message
  std::string localFileName;   // installed name relative to the install folder
  std::string remoteName;      // its name under each of `bases`
  std::string expectedDigest;  // the manifest's fingerprint; empty when it lists none
  // For a signed release: the signed SHA-256 and size; else empty and -1.
  std::string sha256;
  int64_t size = -1;
  // Cheaper ways tried before the module itself, cheapest first.
  std::vector<FetchWay> cheaper;
  // Where every file of the task is fetched, in order: each base is tried
  // until one serves bytes that check (the server base, then mirrors).
  std::vector<std::string> bases;
  // The module's fixed name when `remoteName` is a name by content: tried
  // once no base serves the name by content right (a damaged copy at an edge).
  std::string fixedName;
};
