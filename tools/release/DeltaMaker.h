// Makes a patch from an old to a new version of a file (engine/transfer/DeltaPatch.h):
// the old file's suffixes sorted (libdivsufsort), then bsdiff's scan, which
// takes long approximate matches as "add these differences to the old bytes"
// and the rest as bytes of the new file's own; the three streams deflated.
//
// Memory: the old file, its suffix array (4 bytes per old byte), the new
// file and the two streams before compression (at most the new file's size
// each), so about 5 times the old file plus 3 times the new one: 8 times a
// module whose size did not change much (bsdiff needs about 17).
#pragma once

#include <cstdint>
#include <string>

// The patch; empty when it cannot be made (a file over 2 GB - 1, no memory).
std::string MakePatch(const std::string& oldBytes, const std::string& newBytes);
