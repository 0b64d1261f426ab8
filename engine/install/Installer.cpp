// The installation transaction and the install folder's files.
#include "engine/install/Installer.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/transfer/ArrivalCheck.h"
#include "engine/install/InstallJournal.h"
#include "engine/install/InstallPaths.h"
#include "engine/install/Probation.h"
#include "engine/release/ModuleCatalogue.h"
#include "framework/ParallelWork.h"
#include "framework/Paths.h"
#include "engine/run/SupportLog.h"
#include "framework/Files.h"
#include "framework/Scoped.h"
#include "framework/Text.h"

using fw::PathExists;

// Steps, and the test-only stop.

namespace {

int StopAtStep() {
  static const int step = [] {
    char value[32] = {};
    const DWORD n = ::GetEnvironmentVariableA(kStopAtStepVariable, value, sizeof value);
    return n > 0 && n < sizeof value ? std::atoi(value) : 0;
  }();
  return step;
}

int g_steps = 0;

void Step() { CountInstallStep(); }

std::wstring JournalPath(const std::wstring& folder) { return folder + kInstallJournalName; }
std::wstring PreviousPath(const std::wstring& folder, const std::string& name) {
  return PathIn(folder + kStagingFolder + kPreviousFolder, name);
}

// A file or folder the installation no longer needs goes now, or, while
// something holds it, at the updater's end.
void DeleteOrPend(const std::wstring& path, const std::wstring& folder, std::vector<std::wstring>& pending) {
  if (!DeletePath(path, folder) && fw::PathExists(path)) pending.push_back(path);
}

// Data reaches the disk before a file takes a module's name.
// The widest sharing that still lets the file be flushed; a scanner that
// holds the file a moment is waited out.
bool Flush(const std::wstring& path) {
  return fw::RetryWhileHeld([&] {
    fw::ScopedFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && ::FlushFileBuffers(file.get());
  });
}

// The journal is replaced whole, never edited in place.
bool WriteJournal(const std::wstring& folder, const InstallJournal& journal) {
  const bool written = fw::WriteWholeFile(JournalPath(folder), RenderJournal(journal));
  Step();
  return written;
}

void RemoveJournal(const std::wstring& folder) {
  fw::DeleteFileWhenFree(JournalPath(folder));
  Step();
}

DownloadTask TaskOf(const JournalModule& m) { return DownloadTask{0, m.name, {}, m.digest, m.sha256, m.size, {}, {}, {}}; }

// True when some program has the file open (a running program, a loaded
// library, another process's handle): it cannot be replaced, at most moved.
bool InUse(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_SHARING_VIOLATION;
  ::CloseHandle(file);
  return false;
}

// `from` takes the name `to` in one step: `to` is its old file or `from`'s
// at every moment. A file in use (a running program, a loaded library) can
// be renamed but not replaced: the platform's replacement moves it aside
// under `asideOf`'s free set-aside name then, which `aside` receives. Waits
// for a lock until `deadline`.
bool TakeName(const std::wstring& from, const std::wstring& to, const std::wstring& folder, uint32_t deadline,
              std::wstring& aside) {
  for (;;) {
    if (MoveInto(from, to, true)) return true;
    if (fw::PathExists(to) && InUse(to)) {
      const std::wstring candidate = FreeSetAsideName(to, folder);
      if (::ReplaceFileW(to.c_str(), from.c_str(), candidate.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr,
                         nullptr)) {
        aside = candidate;
        return true;
      }
    }
    if (static_cast<LONG>(::GetTickCount() - deadline) >= 0) return false;
    ::Sleep(kInstallRetryMs);
  }
}

// The old version, kept until the whole release is in: a second name for
// it costs no copy; a flushed copy where links are not possible, and for a
// file in use (a name of a loaded program could not be deleted afterwards).
// A file held open without sharing can be neither: the copy waits for it
// until `deadline`.
bool KeepOld(const std::wstring& installed, const std::wstring& kept, uint32_t deadline) {
  for (;;) {
    ::DeleteFileW(kept.c_str());
    if ((!InUse(installed) && ::CreateHardLinkW(kept.c_str(), installed.c_str(), nullptr)) ||
        (::CopyFileW(installed.c_str(), kept.c_str(), FALSE) && Flush(kept))) {
      Step();
      return true;
    }
    if (static_cast<LONG>(::GetTickCount() - deadline) >= 0) return false;
    ::Sleep(kInstallRetryMs);
  }
}

// Puts one module's old version back (or, for a module new to the folder,
// takes the new one away); the new file returns to the staging folder for a
// later attempt. Every step keeps a file under the module's name.
bool PutBack(const std::wstring& folder, const JournalModule& m, const std::wstring& installed, uint32_t deadline,
             std::vector<std::wstring>& pending) {
  const std::wstring staged = StagedPath(folder, m.name), kept = PreviousPath(folder, m.name);
  if (!m.hadOld) {
    // New to the folder: it had no file before.
    if (!fw::PathExists(installed)) return true;
    const bool gone = fw::PathExists(staged) ? ::DeleteFileW(installed.c_str()) != FALSE : MoveInto(installed, staged, false);
    Step();
    return gone;
  }
  if (!fw::PathExists(kept)) return true;  // put back already
  if (!fw::PathExists(staged) && FileMatchesTask(installed, TaskOf(m)) &&
      ::CreateHardLinkW(staged.c_str(), installed.c_str(), nullptr))
    Step();
  std::wstring aside;
  if (!TakeName(kept, installed, folder, deadline, aside)) return false;
  Step();
  if (!aside.empty()) DeleteOrPend(aside, folder, pending);
  return true;
}

// The steps after the last swap: the old versions and the staging folder go,
// then the journal.
void Conclude(const std::wstring& folder, std::vector<std::wstring>& pending, bool keepStaged) {
  DeleteOrPend(folder + kStagingFolder + kPreviousFolder, folder, pending);
  Step();
  if (!keepStaged) {
    DeleteOrPend(folder + kStagingFolder, folder, pending);
    Step();
  }
  RemoveJournal(folder);
}

}  // namespace

// The transaction.

void CountInstallStep() {
  ++g_steps;
  if (StopAtStep() > 0 && g_steps == StopAtStep()) ::TerminateProcess(::GetCurrentProcess(), kStoppedAtStepExitCode);
}

int InstallSteps() { return g_steps; }

bool InstallModules(const std::wstring& folder, const std::vector<DownloadTask>& tasks,
                    std::vector<std::wstring>& pendingDeletes, bool keepPrevious) {
  // Nothing differed from the release: it is in place already (and no
  // staging folder exists to hold a journal).
  if (tasks.empty()) return true;
  // What was staged is checked again right before it goes in (all files at
  // once): a file that changed since its download is not the release.
  // Nothing is installed then.
  std::vector<char> matches(tasks.size());
  RunInParallel(static_cast<int>(tasks.size()), [&](int i) {
    matches[i] = FileMatchesTask(StagedPath(folder, tasks[i].localFileName), tasks[i]);
  });
  for (size_t i = 0; i < tasks.size(); ++i) {
    if (matches[i]) continue;
    SupportLog(folder, "install %s: the staged file changed since its check: nothing is installed",
               tasks[i].localFileName.c_str());
    ::DeleteFileW(StagedPath(folder, tasks[i].localFileName).c_str());
    return false;
  }
  const std::wstring previous = folder + kStagingFolder + kPreviousFolder;
  if (!::CreateDirectoryW(previous.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    SupportLog(folder, "install: cannot make %s (error %lu): nothing is installed", fw::Utf8(previous).c_str(), ::GetLastError());
    return false;
  }
  // The journal names every module, its new file and its old copy before
  // the first one changes; each new file and each old copy is on the disk by
  // then. Each step waits for a held file on its own.
  InstallJournal journal;
  for (const DownloadTask& task : tasks) {
    const std::wstring installed = PathIn(folder, task.localFileName);
    JournalModule m{task.localFileName, false, fw::PathExists(installed), task.expectedDigest, task.sha256, task.size};
    const bool flushed = Flush(StagedPath(folder, task.localFileName));
    Step();
    if (!flushed ||
        (m.hadOld && !KeepOld(installed, PreviousPath(folder, task.localFileName), ::GetTickCount() + kInstallLockWaitMs))) {
      SupportLog(folder, "install %s: %s (error %lu): nothing is installed", task.localFileName.c_str(),
                 flushed ? "no copy of the old version could be kept (still in use after the wait?)"
                         : "the staged file could not be flushed",
                 ::GetLastError());
      DeletePath(previous, folder);
      return false;
    }
    journal.modules.push_back(m);
  }
  if (!WriteJournal(folder, journal)) {
    SupportLog(folder, "install: the journal could not be written (error %lu): nothing is installed", ::GetLastError());
    DeletePath(previous, folder);
    return false;
  }
  std::vector<std::wstring> asides;
  for (size_t i = 0; i < tasks.size(); ++i) {
    JournalModule& m = journal.modules[i];
    const std::wstring installed = PathIn(folder, m.name);
    std::wstring aside;
    if (!TakeName(StagedPath(folder, m.name), installed, folder, ::GetTickCount() + kInstallLockWaitMs, aside)) {
      SupportLog(folder, "install %s: still in use after the wait (error %lu): the %u module(s) already swapped go back",
                 m.name.c_str(), ::GetLastError(), static_cast<unsigned>(i));
      // All or nothing: the product is never left on a mix of two releases.
      bool back = true;
      for (size_t j = i; j-- > 0;) back = PutBack(folder, journal.modules[j], PathIn(folder, journal.modules[j].name),
                                                  ::GetTickCount() + kInstallLockWaitMs, pendingDeletes) && back;
      for (const std::wstring& a : asides) DeleteOrPend(a, folder, pendingDeletes);
      // A module that could not be put back leaves the journal for the next start.
      if (back) Conclude(folder, pendingDeletes, true);
      return false;
    }
    Step();
    SupportLog(folder, "install %s: in place%s", m.name.c_str(),
               aside.empty() ? "" : (", the old one in use was moved aside to " + fw::Utf8(aside)).c_str());
    if (!aside.empty()) asides.push_back(aside);
    m.in = true;
    WriteJournal(folder, journal);
  }
  journal.allIn = true;
  WriteJournal(folder, journal);
  for (const std::wstring& a : asides) DeleteOrPend(a, folder, pendingDeletes);
  // The old versions stay, verified, while the new release is on probation:
  // one rename, after which the journal's own cleanup finds none.
  if (keepPrevious) {
    if (!::MoveFileExW(previous.c_str(), (folder + kPreviousReleaseFolder).c_str(), 0))
      SupportLog(folder, "install: the previous release could not be kept (error %lu): no way back", ::GetLastError());
    Step();
  }
  Conclude(folder, pendingDeletes, false);
  SupportLog(folder, "install: %d step(s)", g_steps);
  return true;
}

bool RecoverInterruptedInstallation(const std::wstring& folder) {
  const std::wstring path = JournalPath(folder);
  if (!fw::PathExists(path)) {
    ::DeleteFileW((path + L".new").c_str());  // a journal that never took its name
    return true;
  }
  std::optional<InstallJournal> journal = ParseJournal(fw::ReadWholeFile(path, 64 * 1024).value_or(std::string()));
  std::vector<std::wstring> pending;
  if (!journal) {
    // Never written in place, so never half a journal; should the disk have
    // damaged it, every module whose old version is kept gets it back.
    SupportLog(folder, "recovery: the install journal is damaged: the old versions kept are put back");
    journal.emplace();
    for (const ModuleEntry& row : kModuleCatalogue) {
      if (!fw::PathExists(PreviousPath(folder, row.LocalName()))) continue;
      JournalModule kept;
      kept.name = row.LocalName();
      kept.hadOld = true;
      journal->modules.push_back(kept);
    }
    journal->allIn = false;
  }
  bool forward = journal->allIn;
  if (!forward) {
    // Forward only when every new file is there, in place or staged, and verifies.
    std::vector<char> ready(journal->modules.size());
    RunInParallel(static_cast<int>(journal->modules.size()), [&](int i) {
      const JournalModule& m = journal->modules[i];
      ready[i] = !m.digest.empty() && (FileMatchesTask(PathIn(folder, m.name), TaskOf(m)) ||
                                       FileMatchesTask(StagedPath(folder, m.name), TaskOf(m)));
    });
    forward = !journal->modules.empty();
    for (char r : ready) forward = forward && r;
  }
  bool done = true;
  for (JournalModule& m : journal->modules) {
    const std::wstring installed = PathIn(folder, m.name);
    const std::wstring staged = StagedPath(folder, m.name);
    const uint32_t deadline = ::GetTickCount() + kInstallLockWaitMs;
    if (!forward) {
      done = PutBack(folder, m, installed, deadline, pending) && done;
      continue;
    }
    if (journal->allIn || FileMatchesTask(installed, TaskOf(m))) continue;
    std::wstring aside;
    if (TakeName(staged, installed, folder, deadline, aside)) {
      Step();
      if (!aside.empty()) DeleteOrPend(aside, folder, pending);
    } else {
      done = false;
    }
  }
  SupportLog(folder, "recovery: an interrupted installation was %s%s", forward ? "finished" : "undone",
             done ? "" : ", not all of it yet (a module is in use): the journal stays for the next start");
  if (!done) return false;
  Conclude(folder, pending, !forward);
  for (const std::wstring& p : pending) DeletePath(p, folder);
  return true;
}
