// The installation of a release's staged modules, all or nothing, and the
// repair of an installation that was stopped half-way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/install/SetAside.h"
#include "engine/transfer/DownloadTask.h"

// How long one step of the installation (keeping the old version, swapping
// the new one in, putting the old one back) waits for a module held by
// another program before it counts as in use and the old release goes back.
constexpr uint32_t kInstallLockWaitMs = 5000;
constexpr uint32_t kInstallRetryMs = 200;

// Swaps the staged modules of `tasks` into `folder`, all or nothing, under
// the install journal (engine/install/InstallJournal.h). True when every one is in
// place; otherwise every module keeps its old version and the staged files
// stay for a later attempt. Files moved aside that could not be deleted yet
// are added to `pendingDeletes`. A stop at any moment leaves every module a
// file, and the journal for the next start.
// With `keepPrevious` the modules' old versions are kept in
// kPreviousReleaseFolder (engine/install/Probation.h), which must not exist.
bool InstallModules(const std::wstring& folder, const std::vector<DownloadTask>& tasks,
                    std::vector<std::wstring>& pendingDeletes, bool keepPrevious = false);

// Finishes an installation that a stop interrupted (when every new file is
// there and verifies) or undoes it (otherwise), from its journal; true when
// the folder holds one whole release and no journal. False when a module in
// use kept it from either: the journal stays, and no run may start.
bool RecoverInterruptedInstallation(const std::wstring& folder);

// Test-only fault setting: with this environment variable set to N, the
// process stops dead (exit code kStoppedAtStepExitCode) right after the N-th
// step of an installation or a recovery, as a kill at that moment would.
// Never set in a normal run.
constexpr char kStopAtStepVariable[] = "VELNORIA_UPDATER_TEST_STOP_AT_INSTALL_STEP";
constexpr unsigned kStoppedAtStepExitCode = 0x5709;
// One step of an installation, a recovery or a revert has been made (a file
// written, linked, renamed or deleted); under the test setting the process
// may stop dead right after it. And the steps made so far.
void CountInstallStep();
int InstallSteps();
