// Where the engine puts and finds files, relative to the install folder
// (the updater's own folder, ending with a backslash). Paths are UTF-16;
// the release's file names are ASCII.
#pragma once

#include <string>

constexpr wchar_t kStagingFolder[] = L"UpgradeBackup_P\\";
constexpr wchar_t kBackgroundFolder[] = L"UpgradeBackup\\";
constexpr wchar_t kPreloadMarker[] = L"mvt_s.backup";
constexpr wchar_t kManifestLocalName[] = L"Version.tmp";
constexpr wchar_t kSetAsideSuffix[] = L".del";
// Inside the staging folder: the old versions, kept until a whole release is in.
constexpr wchar_t kPreviousFolder[] = L"previous\\";

// The download target of a module: the staging folder with a ".tmp" suffix
// in the interactive modes, its final name in the background folder in mode 3.
std::wstring DownloadTargetPath(const std::wstring& moduleDirectory, const std::string& localName, int mode);
std::wstring StagedPath(const std::wstring& moduleDirectory, const std::string& localName);
// Where a module's bytes arrive: the staged file in the interactive modes;
// in mode 3 a ".part" file beside the final name, which the module takes only
// once its fingerprint matches, so the backup folder never holds a module
// under its own name that is not the release's.
std::wstring ArrivalPath(const std::wstring& moduleDirectory, const std::string& localName, int mode);

// The longest path a run in `mode` may use under `moduleDirectory` (staging
// or backup files with the download library's validator beside them, the
// old versions kept, numbered set-aside names, the journal). A run whose
// longest path would not fit the platform's MAX_PATH fails at once.
size_t LongestRunPath(const std::wstring& moduleDirectory, int mode);
constexpr size_t kMaxPathLength = 259;  // MAX_PATH with its terminator

// The path without trailing backslashes, or without trailing forward slashes
// when it ends with one.
std::wstring TrimTrailingSeparators(const std::wstring& path);

// What the folder's records (the journal, the probation record) may name
// as a module when they are read back: a plain file name (no path, no
// leading dot, no character the platform refuses), and fingerprints or
// SHA-256 values as the engine writes them (lower-case hexadecimal digits).
bool IsRecordedModuleName(const std::string& name);
bool IsLowerHex(const std::string& text, size_t length);

// True for a file or folder strictly inside `moduleDirectory` (compared
// without regard to case, no ".." step); the only paths the engine deletes.
bool IsDeletablePath(const std::wstring& path, const std::wstring& moduleDirectory);
