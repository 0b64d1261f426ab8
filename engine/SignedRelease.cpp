#include "engine/SignedRelease.h"

#include <cctype>
#include <sstream>

#include "engine/ModuleCatalogue.h"

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool ParseSize(const std::string& text, int64_t& out) {
  if (text.empty() || text.size() > 12) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

}  // namespace

bool IsWellFormedSha256(const std::string& text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string SignedSectionText(const SignedRelease& release) {
  std::string text = "[" + std::string(kSignedSection) + "]\r\n";
  text += "Number=" + std::to_string(release.number) + "\r\n";
  text += "Notes=" + release.notesSha256 + "\r\n";
  if (release.expires > 0) text += "Expires=" + std::to_string(release.expires) + "\r\n";
  if (release.updater) text += std::string(kUpdaterKey) + "=" + release.updater->sha256 + " " +
                               std::to_string(release.updater->size) + "\r\n";
  for (const ModuleEntry& row : kModuleCatalogue) {
    const auto it = release.modules.find(row.baseName);
    if (it == release.modules.end()) continue;
    text += std::string(row.baseName) + "=" + it->second.sha256 + " " + std::to_string(it->second.size) + "\r\n";
  }
  return text;
}

std::optional<SignedRelease> ParseSignedRelease(const std::string& manifestText) {
  std::istringstream in(manifestText);
  std::string line;
  bool inSection = false, found = false;
  std::map<std::string, std::string> values;  // lower-case key -> value
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      inSection = Lower(line) == "[" + Lower(kSignedSection) + "]";
      found = found || inSection;
      continue;
    }
    if (!inSection) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) return std::nullopt;
    const std::string key = Lower(Trim(line.substr(0, eq)));
    if (values.count(key)) return std::nullopt;  // one value per key, no second reading
    values[key] = Trim(line.substr(eq + 1));
  }
  if (!found) return std::nullopt;
  SignedRelease release;
  if (!ParseSize(values["number"], release.number)) return std::nullopt;
  release.notesSha256 = Lower(values["notes"]);
  if (!release.notesSha256.empty() && !IsWellFormedSha256(release.notesSha256)) return std::nullopt;
  if (values.count("expires") && !ParseSize(values["expires"], release.expires)) return std::nullopt;
  auto file = [&](const std::string& key, SignedFile& out) {
    const auto it = values.find(Lower(key));
    if (it == values.end()) return false;
    const size_t space = it->second.find(' ');
    if (space == std::string::npos) return false;
    out.sha256 = Lower(it->second.substr(0, space));
    return IsWellFormedSha256(out.sha256) && ParseSize(Trim(it->second.substr(space + 1)), out.size);
  };
  for (const ModuleEntry& row : kModuleCatalogue)
    if (!file(row.baseName, release.modules[row.baseName])) return std::nullopt;
  if (values.count(Lower(kUpdaterKey)) && !file(kUpdaterKey, release.updater.emplace())) return std::nullopt;
  return release;
}

TrustVerdict JudgeRelease(const SignedRelease& offered, const std::string& bytes,
                          const std::optional<KeptManifest>& kept, int64_t recordedFloor, int64_t now) {
  if (offered.expires > 0 && now > offered.expires + kClockSkewSeconds) return TrustVerdict::Expired;
  if (!kept) return offered.number < recordedFloor ? TrustVerdict::Older : TrustVerdict::Keep;
  if (offered.number < kept->number) return TrustVerdict::Older;
  if (offered.number > kept->number) return TrustVerdict::Keep;
  return bytes == kept->bytes ? TrustVerdict::Same : TrustVerdict::SameNumberOtherBytes;
}
