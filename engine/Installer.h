// The installation of a release's staged modules, all or nothing, and what
// it needs of the install folder: deletion through the shell, the names a
// module in use is moved aside under, the rename that installs a module, and
// the repair of an installation that was stopped half-way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/DownloadTask.h"

// How long the installation waits, in all, for a module held by another
// program before it puts the old release back.
constexpr uint32_t kInstallLockWaitMs = 5000;
constexpr uint32_t kInstallRetryMs = 200;

// Swaps the staged modules of `tasks` into `folder`, all or nothing, under
// the install journal (engine/InstallJournal.h). True when every one is in
// place; otherwise every module keeps its old version and the staged files
// stay for a later attempt. Files moved aside that could not be deleted yet
// are added to `pendingDeletes`. A stop at any moment leaves every module a
// file, and the journal for the next start.
bool InstallModules(const std::string& folder, const std::vector<DownloadTask>& tasks,
                    std::vector<std::string>& pendingDeletes);

// Finishes an installation that a stop interrupted (when every new file is
// there and verifies) or undoes it (otherwise), from its journal; true when
// the folder holds one whole release and no journal. False when a module in
// use kept it from either: the journal stays, and no run may start.
bool RecoverInterruptedInstallation(const std::string& folder);

// Test-only fault setting: with this environment variable set to N, the
// process stops dead (exit code kStoppedAtStepExitCode) right after the N-th
// step of an installation or a recovery, as a kill at that moment would.
// Never set in a normal run.
constexpr char kStopAtStepVariable[] = "VELNORIA_UPDATER_TEST_STOP_AT_INSTALL_STEP";
constexpr unsigned kStoppedAtStepExitCode = 0x5709;

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
// Set-aside copies of files that have their file again (the updater's own
// from its renewal, modules another program had loaded) go, where nothing
// holds them any more.
void RemoveSetAsideLeftovers(const std::string& installFolder);
