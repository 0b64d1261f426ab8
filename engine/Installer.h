// Files of the install folder: deletion through the shell, the names modules
// are moved aside under, the rename that installs a module, and the repair of
// an installation that was stopped half-way.
#pragma once

#include <cstdint>
#include <string>

// True when a file or folder exists at `path`.
bool PathExists(const std::string& path);
// The size of the file at `path`; -1 when there is none.
int64_t FileSize(const std::string& path);

// Deletes a file or a whole folder tree silently; true when the shell reports
// success. Refuses (false) an empty path and any path not strictly inside
// `installFolder`.
bool DeletePath(std::string path, const std::string& installFolder);

// A name to move a locked module to: "<module>.del", or while that one is
// held open, "<module>.1.del" to "<module>.99.del". A ".del" file left by an
// earlier update is removed first, so the move is never a silent no-op.
std::string FreeSetAsideName(const std::string& installed, const std::string& installFolder);

// The staged file takes the module's name by a rename within the install
// folder: a stop at any moment leaves the module its old or its new file,
// never one partly written.
bool MoveInto(const std::string& staged, const std::string& installed, bool replace);

// A module that an interrupted installation left only under a set-aside name
// is put back, so that every module has a copy before a run compares them.
void RestoreSetAsideModules(const std::string& installFolder);
