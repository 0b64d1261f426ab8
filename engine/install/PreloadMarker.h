// The marker of a complete pre-load ("UpgradeBackup\mvt_s.backup"), written
// whole beside exactly the verified modules of the release it names:
//   [SUpgrade] Key=1, Manifest=<SHA-256 of the manifest's bytes>,
//   Release=<the signed release's number> (signed releases only),
//   Content=<the release's content id> (its modules alone, the same at every
//   stage of a rollout: a halt finds the pre-load of the release it halts).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct PreloadMarker {
  bool ready = false;          // Key=1: the product may install from the folder
  std::string manifestSha256;  // empty when the marker names none
  int64_t release = -1;        // -1: unsigned, or not a number
  std::string content;         // 8 hexadecimal digits; empty when the marker names none

  static PreloadMarker Parse(std::string_view bytes);
  std::string Text() const;
};
