// Small questions about files, asked of the platform.
#pragma once

#include <cstdint>
#include <string>

namespace fw {

// True when a file or folder exists at `path`.
bool PathExists(const std::string& path);
// The size of the file at `path`; -1 when there is none.
int64_t FileSize(const std::string& path);

}  // namespace fw

// Lead-byte test of the system's ANSI code page (for the path helpers of framework/Paths.h).
bool IsAnsiLeadByte(unsigned char byte);
