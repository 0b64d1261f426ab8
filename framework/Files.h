// Small questions about files, asked of the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace fw {

// The user's temporary folder, with its trailing backslash; empty when the
// system names none that fits a path.
std::wstring TempFolder();

// The running program's own path, however long, from GetModuleFileNameW: a
// folder the system's code page cannot spell is named as it is.
std::wstring ProgramPath();

// True when a file or folder exists at `path`.
bool PathExists(const std::wstring& path);
// The path of an open file or folder as the file system knows it (long
// names, links resolved), "\\?\" and all; empty when it cannot say.
std::wstring FinalPathOf(void* handle);
// The size of the file at `path`; -1 when there is none.
int64_t FileSize(const std::wstring& path);

// Makes every folder on the way to the file or folder `path` (all up to its
// last backslash); true when they all exist afterwards.
bool MakeFoldersOf(const std::wstring& path);

// The whole file at `path`; nothing when it cannot be read or holds more
// than `maxBytes`.
std::optional<std::string> ReadWholeFile(const std::wstring& path, int64_t maxBytes);

// Writes all `count` bytes at the position of the open file `file`. On a
// failure `error` says why: a short write to a disk file means it is full.
bool WriteAll(void* file, const void* bytes, size_t count, unsigned long& error);
// True when a system error code says that a disk has no more room.
bool IsDiskFull(unsigned long error);

// Replaces the file at `path` with `bytes` whole: written beside it under
// `path` + ".new", flushed to the disk, then renamed over it, so that the
// file is its old or its new self at any moment; a brief hold of the file by
// another program is waited out. False (and nothing changed) on any failure.
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);

// Another program holds a file for a moment (an on-access scanner, an
// indexer, a sync client opens a new or changed file for under a second):
// a step on it fails with a sharing violation or an access denial meanwhile.
bool IsHeldByAnother(unsigned long error);
// How long one step on a file waits such a hold out, in all.
constexpr uint32_t kHeldFileWaitMs = 4000;
// Runs `step` until it succeeds, fails for another reason than a hold, or
// `waitMs` have passed, pausing a little longer each time (25 ms, doubling
// up to 400 ms). The last failure's error stays the thread's last error.
bool RetryWhileHeld(const std::function<bool()>& step, uint32_t waitMs = kHeldFileWaitMs);
// Deletes the file at `path`, waiting out such a hold; true when it is gone.
bool DeleteFileWhenFree(const std::wstring& path);

}  // namespace fw
