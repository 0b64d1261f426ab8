#include "engine/install/InstallJournal.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <vector>

#include "engine/install/InstallPaths.h"
#include "engine/release/TextWords.h"

namespace {

constexpr char kMagic[] = "VelnoriaInstallJournal";
constexpr int kVersion = 1;

}  // namespace

std::string RenderJournal(const InstallJournal& journal) {
  std::string out = std::string(kMagic) + ' ' + std::to_string(kVersion) + "\r\n";
  out += std::string("phase ") + (journal.allIn ? "in" : "swapping") + "\r\n";
  for (const JournalModule& m : journal.modules)
    out += std::string("module ") + (m.in ? "in" : "staged") + ' ' + (m.hadOld ? '1' : '0') + ' ' + m.digest + ' ' +
           (m.sha256.empty() ? "-" : m.sha256) + ' ' + std::to_string(m.size) + ' ' + m.name + "\r\n";
  out += "end\r\n";
  return out;
}

std::optional<InstallJournal> ParseJournal(const std::string& text) {
  // Lines end with LF, a CR before it dropped.
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line(text.data() + at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    at = end + 1;
  }
  std::vector<std::string> words = lines.size() > 0 ? WordsOf(lines[0]) : std::vector<std::string>();
  if (words.size() != 2 || words[0] != kMagic || words[1] != std::to_string(kVersion)) return std::nullopt;
  words = lines.size() > 1 ? WordsOf(lines[1]) : std::vector<std::string>();
  if (words.size() != 2 || words[0] != "phase" || (words[1] != "in" && words[1] != "swapping")) return std::nullopt;
  InstallJournal journal;
  journal.allIn = words[1] == "in";
  std::set<std::string> names;
  for (size_t n = 2; n < lines.size(); ++n) {
    words = WordsOf(lines[n]);
    if (words.empty()) return std::nullopt;
    // The last line closes the journal: a cut file is no journal.
    if (words[0] == "end") {
      if (words.size() != 1) return std::nullopt;
      for (size_t rest = n + 1; rest < lines.size(); ++rest)
        if (lines[rest].find_first_not_of('\r') != std::string_view::npos) return std::nullopt;  // nothing may follow
      return journal;
    }
    JournalModule m;
    // A size of -1: not known (an unsigned release).
    if (words.size() != 7 || words[0] != "module" || !(words[5] == "-1" || ParseCount(words[5], m.size)))
      return std::nullopt;
    const std::string& state = words[1];
    const std::string& old = words[2];
    const std::string& sha = words[4];
    m.digest = words[3];
    m.name = words[6];
    if ((state != "in" && state != "staged") || (old != "0" && old != "1") || !IsLowerHex(m.digest, 32) ||
        !(sha == "-" || IsLowerHex(sha, 64)) || !IsRecordedModuleName(m.name) || !names.insert(m.name).second)
      return std::nullopt;
    m.in = state == "in";
    m.hadOld = old == "1";
    m.sha256 = sha == "-" ? "" : sha;
    journal.modules.push_back(m);
  }
  return std::nullopt;
}
