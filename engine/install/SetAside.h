// The install folder's files as the installation and the runs handle them:
// deletion through the shell, the names a module in use is moved aside
// under, the rename that installs a module, and the set-aside copies an
// interrupted installation or a renewal left.
#pragma once

#include <string>

// Deletes a file or a whole folder tree silently; true when the shell reports
// success. Refuses (false) an empty path and any path not strictly inside
// `installFolder`.
bool DeletePath(std::wstring path, const std::wstring& installFolder);

// A name to move a locked module to: "<module>.del", or while that one is
// held open, "<module>.1.del" to "<module>.99.del". A ".del" file left by an
// earlier update is removed first, so the move is never a silent no-op.
std::wstring FreeSetAsideName(const std::wstring& installed, const std::wstring& installFolder);

// The staged file takes the module's name by a rename within the install
// folder: a stop at any moment leaves the module its old or its new file,
// never one partly written.
bool MoveInto(const std::wstring& staged, const std::wstring& installed, bool replace);
// The same, replacing, for a file just written that another program (a
// scanner) may hold a moment: the hold is waited out.
bool MoveIntoWhenFree(const std::wstring& staged, const std::wstring& installed);

// A module that an interrupted installation left only under a set-aside name
// is put back, so that every module has a copy before a run compares them.
void RestoreSetAsideModules(const std::wstring& installFolder);
// Set-aside copies of files that have their file again (the updater's own
// from its renewal, modules another program had loaded) go, where nothing
// holds them any more.
void RemoveSetAsideLeftovers(const std::wstring& installFolder);
