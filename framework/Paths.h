// Directory parts of paths.
//
// Paths are UTF-16, so a backslash or slash is always a separator of its own
// (in an 8-bit code page a double-byte character's trail byte could be one).
#pragma once

#include <string>
#include <string_view>

// Up to and including the last backslash; empty without one.
std::wstring DirectoryUpToLastBackslash(const std::wstring& path);

// Up to and including the last backslash, or else the last forward slash;
// empty when the path has neither.
std::wstring GetDirectoryOfPath(const std::wstring& path);

// The file `name` (ASCII: a name of the release or of the updater's own
// files) in `folder`, which ends with a separator.
std::wstring PathIn(const std::wstring& folder, std::string_view name);
