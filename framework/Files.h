// Small questions about files, asked of the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fw {

// True when a file or folder exists at `path`.
bool PathExists(const std::string& path);
// The size of the file at `path`; -1 when there is none.
int64_t FileSize(const std::string& path);

// The whole file at `path`; nothing when it cannot be read or holds more
// than `maxBytes`.
std::optional<std::string> ReadWholeFile(const std::string& path, int64_t maxBytes);

// Writes all `count` bytes at the position of the open file `file`. On a
// failure `error` says why: a short write to a disk file means it is full.
bool WriteAll(void* file, const void* bytes, size_t count, unsigned long& error);
// True when a system error code says that a disk has no more room.
bool IsDiskFull(unsigned long error);

// Replaces the file at `path` with `bytes` whole: written beside it under
// `path` + ".new", flushed to the disk, then renamed over it, so that the
// file is its old or its new self at any moment. False (and nothing
// changed) on any failure.
bool WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace fw

// Lead-byte test of the system's ANSI code page (for the path helpers of framework/Paths.h).
bool IsAnsiLeadByte(unsigned char byte);
