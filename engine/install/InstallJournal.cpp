#include "engine/install/InstallJournal.h"

#include <set>
#include <sstream>

#include "engine/install/InstallPaths.h"

namespace {

constexpr char kMagic[] = "VelnoriaInstallJournal";
constexpr int kVersion = 1;

}  // namespace

std::string RenderJournal(const InstallJournal& journal) {
  std::ostringstream out;
  out << kMagic << ' ' << kVersion << "\r\n";
  out << "phase " << (journal.allIn ? "in" : "swapping") << "\r\n";
  for (const JournalModule& m : journal.modules)
    out << "module " << (m.in ? "in" : "staged") << ' ' << (m.hadOld ? 1 : 0) << ' ' << m.digest << ' '
        << (m.sha256.empty() ? "-" : m.sha256) << ' ' << m.size << ' ' << m.name << "\r\n";
  out << "end\r\n";
  return out.str();
}

std::optional<InstallJournal> ParseJournal(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  auto next = [&](std::istringstream& words) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    words.clear();
    words.str(line);
    return true;
  };
  std::istringstream words;
  std::string word, phase;
  int version = 0;
  if (!next(words) || !(words >> word >> version) || word != kMagic || version != kVersion) return std::nullopt;
  if (!next(words) || !(words >> word >> phase) || word != "phase" || (phase != "in" && phase != "swapping"))
    return std::nullopt;
  InstallJournal journal;
  journal.allIn = phase == "in";
  std::set<std::string> names;
  while (next(words)) {
    if (!(words >> word)) return std::nullopt;
    // The last line closes the journal: a cut file is no journal.
    if (word == "end") {
      if (words >> word) return std::nullopt;
      std::string rest;
      while (std::getline(in, rest))
        if (rest.find_first_not_of("\r") != std::string::npos) return std::nullopt;  // nothing may follow
      return journal;
    }
    std::string state, sha;
    int old = -1;
    JournalModule m;
    if (word != "module" || !(words >> state >> old >> m.digest >> sha >> m.size >> m.name) || (words >> word))
      return std::nullopt;
    if ((state != "in" && state != "staged") || (old != 0 && old != 1) || !IsLowerHex(m.digest, 32) ||
        !(sha == "-" || IsLowerHex(sha, 64)) || m.size < -1 || !IsRecordedModuleName(m.name) || !names.insert(m.name).second)
      return std::nullopt;
    m.in = state == "in";
    m.hadOld = old == 1;
    m.sha256 = sha == "-" ? "" : sha;
    journal.modules.push_back(m);
  }
  return std::nullopt;
}
