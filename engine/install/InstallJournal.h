// The install journal: what an installation in progress changes, so that a
// stop at any moment (a kill, a power cut) can be finished or undone at the
// updater's next start. It lives in the install folder as "Install.journal"
// while an installation runs, and is replaced whole (never edited in place).
//
//   VelnoriaInstallJournal 1
//   phase swapping            (or "in": every module is in, the cleanup remains)
//   module STATE OLD DIGEST SHA256 SIZE NAME
//
// One module line per module of the release, in installation order. STATE is
// "staged" (its new file waits in the staging folder) or "in" (its new file
// has taken its name); OLD is 1 when the old version is kept in the staging
// folder's previous\ (0: the module is new to the folder); DIGEST, SHA256
// ("-" when unsigned) and SIZE (-1 when unsigned) identify the new file. A
// recorded state can lag behind the files by one step: recovery trusts the
// files' own fingerprints, the states only say how far the installation got.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

constexpr wchar_t kInstallJournalName[] = L"Install.journal";

struct JournalModule {
  std::string name;  // the installed file's name, relative to the install folder
  bool in = false;
  bool hadOld = false;
  std::string digest;
  std::string sha256;  // empty when unsigned
  int64_t size = -1;
};

struct InstallJournal {
  bool allIn = false;  // phase "in"
  std::vector<JournalModule> modules;
};

std::string RenderJournal(const InstallJournal& journal);
// Nothing when the text is not a whole journal of this version (a damaged,
// cut or foreign file), or names a module twice or with a path in it.
std::optional<InstallJournal> ParseJournal(const std::string& text);
