#include "engine/release/Manifest.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "engine/release/ModuleDigest.h"
#include "engine/release/TextWords.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}


std::optional<CompressedEntry> ReadCompressed(const std::string& value) {
  const std::vector<std::string> words = WordsOf(value);
  CompressedEntry e;
  if (words.size() < 3 || !ParseCount(words[1], e.size) || !ParseCount(words[2], e.moduleSize)) return std::nullopt;
  e.sha256 = words[0];
  if (!IsWellFormedSha256(e.sha256) || e.size <= 0) return std::nullopt;
  e.sha256 = Lower(e.sha256);
  return e;
}

std::optional<PatchEntry> ReadPatch(const std::string& value) {
  const std::vector<std::string> words = WordsOf(value);
  PatchEntry e;
  if (words.size() < 6 || !ParseCount(words[2], e.size) || !ParseCount(words[5], e.moduleSize))
    return std::nullopt;
  e.name = words[0];
  e.sha256 = words[1];
  e.sourceSha256 = words[3];
  e.sourceFingerprint = words[4];
  if (!IsWellFormedSha256(e.sha256) || e.size <= 0 || e.name.find_first_of("/\\:") != std::string::npos)
    return std::nullopt;
  e.sha256 = Lower(e.sha256);
  e.sourceSha256 = Lower(e.sourceSha256);
  e.sourceFingerprint = Lower(e.sourceFingerprint);
  return e;
}

// The signed section is under the signature: anything but one well-formed
// value per key, in one section, is a damaged release, not a reading.
std::optional<SignedRelease> ReadSigned(const IniText& ini) {
  const IniSection* section = ini.Section(kSignedSection);
  if (!section || ini.CountOf(kSignedSection) != 1 || section->HasRepeatedKey() || section->linesWithoutKey > 0)
    return std::nullopt;
  auto value = [&](const char* key) -> const std::string* {
    const IniEntry* entry = section->Find(key);
    return entry ? &entry->value : nullptr;
  };
  SignedRelease release;
  if (!value("Number") || !ParseCount(*value("Number"), release.number) || release.number > kMaxReleaseNumber)
    return std::nullopt;
  release.notesSha256 = value("Notes") ? Lower(*value("Notes")) : std::string();
  if (!release.notesSha256.empty() && !IsWellFormedSha256(release.notesSha256)) return std::nullopt;
  if (value("Expires") && !ParseCount(*value("Expires"), release.expires)) return std::nullopt;
  auto file = [&](const std::string& text, SignedFile& out) {
    const size_t space = text.find(' ');
    if (space == std::string::npos) return false;
    out.sha256 = Lower(text.substr(0, space));
    std::string size = text.substr(space + 1);
    while (!size.empty() && size.front() == ' ') size.erase(0, 1);
    return IsWellFormedSha256(out.sha256) && ParseCount(size, out.size);
  };
  for (const ModuleEntry& row : kModuleCatalogue)
    if (const std::string* text = value(row.baseName); text && !file(*text, release.modules[row.baseName]))
      return std::nullopt;
  if (const std::string* text = value(kUpdaterKey); text && !file(*text, release.updater.emplace()))
    return std::nullopt;
  if (const std::string* text = value(kServiceKey); text && !file(*text, release.service.emplace()))
    return std::nullopt;
  return release;
}

bool Known(const std::string& name) {
  for (const char* known : {kManifestSection, kUpdaterSection, kCompressedSection, kPatchesSection, kRolloutSection,
                            kReleaseSection, kFilesSection, kMirrorsSection, kSignedSection})
    if (SameNameIgnoringCase(name, known)) return true;
  return false;
}

void ReadFiles(const IniSection& section, ContentNames& names) {
  auto take = [&](const std::string& key, std::string& out) {
    if (const IniEntry* entry = section.Find(key); entry && IsPlainServerName(entry->value)) out = entry->value;
  };
  for (int i = 0; i < kModuleCount; ++i) {
    take(kModuleCatalogue[i].baseName, names.modules[i]);
    take(std::string(kModuleCatalogue[i].baseName) + kCompressedSuffix, names.deflated[i]);
  }
  take(kUpdaterKey, names.updater);
  take(kServiceKey, names.service);
}

std::vector<std::string> ReadMirrors(const IniSection& section) {
  std::map<int64_t, std::string> numbered;
  for (const IniEntry& entry : section.entries) {
    int64_t n = 0;
    if (ParseCount(entry.key, n) && n >= 1 && IsMirrorBase(entry.value) && !numbered.count(n))
      numbered.emplace(n, entry.value);
  }
  std::vector<std::string> mirrors;
  for (auto& [n, base] : numbered)
    if (mirrors.size() < static_cast<size_t>(kMaxMirrors)) mirrors.push_back(base);
  return mirrors;
}

}  // namespace

std::string ContentNames::ModuleName(int row) const {
  return modules[row].empty() ? kModuleCatalogue[row].RemoteName() : modules[row];
}

std::string ContentNames::DeflatedName(int row) const {
  return deflated[row].empty() ? kModuleCatalogue[row].RemoteName() + kCompressedSuffix : deflated[row];
}

std::string ContentNames::UpdaterName() const { return updater.empty() ? kUpdaterFileName : updater; }
std::string ContentNames::ServiceName() const { return service.empty() ? kServiceFileName : service; }

bool IsPlainServerName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')) return false;
  return true;
}

bool IsMirrorBase(const std::string& base) {
  const bool scheme = base.rfind("http://", 0) == 0 || base.rfind("https://", 0) == 0;
  if (!scheme || base.size() > 200 || base.back() != '/') return false;
  for (char c : base)
    if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7F) return false;
  return true;
}

std::vector<std::string> AllowedBases(const std::string& serverBase, const std::vector<std::string>& candidates,
                                      bool keyed) {
  auto plain = [](const std::string& base) { return base.rfind("http://", 0) == 0; };
  std::vector<std::string> allowed;
  for (const std::string& base : candidates) {
    if (std::find(allowed.begin(), allowed.end(), base) != allowed.end()) continue;
    const bool mirrorOk = IsMirrorBase(base) && (keyed ? !plain(base) || plain(serverBase) : plain(base) && plain(serverBase));
    if (base == serverBase || mirrorOk) allowed.push_back(base);
  }
  return allowed;
}

Manifest Manifest::Parse(std::string_view bytes) {
  const IniText ini = IniText::Parse(bytes);
  Manifest m;
  for (int i = 0; i < kModuleCount; ++i)
    m.fingerprints[i] = ini.ProfileValue(kManifestSection, kModuleCatalogue[i].baseName);
  m.updaterFingerprint = ini.ProfileValue(kUpdaterSection, kUpdaterKey);
  m.serviceFingerprint = ini.ProfileValue(kUpdaterSection, kServiceKey);
  if (const IniSection* section = ini.Section(kCompressedSection))
    for (int i = 0; i < kModuleCount; ++i)
      if (const IniEntry* entry = section->Find(kModuleCatalogue[i].baseName)) m.compressed[i] = ReadCompressed(entry->value);
  if (const IniSection* section = ini.Section(kPatchesSection)) {
    std::map<int, PatchEntry> numbered[kModuleCount];
    for (const IniEntry& entry : section->entries) {
      const size_t dot = entry.key.rfind('.');
      const int row = dot == std::string::npos ? -1 : CatalogueIndexOfBaseName(entry.key.substr(0, dot));
      int64_t n = 0;
      if (row < 0 || !ParseCount(entry.key.substr(dot + 1), n) || n < 1 || n > kMaxPatchesPerModule) continue;
      if (numbered[row].count(static_cast<int>(n))) continue;  // the first of two equal keys
      if (std::optional<PatchEntry> patch = ReadPatch(entry.value)) numbered[row].emplace(static_cast<int>(n), *patch);
    }
    for (int i = 0; i < kModuleCount; ++i)
      for (auto& [n, patch] : numbered[i]) m.patches[i].push_back(std::move(patch));
  }
  if (const std::optional<std::string> percent = ini.ProfileValue(kRolloutSection, "Percent")) {
    const int64_t n = DecimalValue(percent);
    // A stage that does not read holds the release back: nobody gets what the team did not mean.
    m.rolloutPercent = n >= 0 && n <= 100 ? static_cast<int>(n) : 0;
  }
  const int64_t probation = DecimalValue(ini.ProfileValue(kReleaseSection, "Probation"));
  if (probation >= 0 && probation <= kMaxProbationSeconds) m.probationSeconds = static_cast<int>(probation);
  if (const IniSection* section = ini.Section(kFilesSection)) ReadFiles(*section, m.files);
  if (const IniSection* section = ini.Section(kMirrorsSection)) m.mirrors = ReadMirrors(*section);
  m.signedRelease = ReadSigned(ini);
  m.signedSectionDamaged = !m.signedRelease && ini.Section(kSignedSection);
  for (const IniSection& section : ini.Sections())
    if (!Known(section.name)) m.otherSections.push_back(section);
  return m;
}

std::string SignedSectionText(const SignedRelease& release) {
  std::string text = "[" + std::string(kSignedSection) + "]\r\n";
  text += "Number=" + std::to_string(release.number) + "\r\n";
  text += "Notes=" + release.notesSha256 + "\r\n";
  if (release.expires > 0) text += "Expires=" + std::to_string(release.expires) + "\r\n";
  if (release.updater)
    text += std::string(kUpdaterKey) + "=" + release.updater->sha256 + " " + std::to_string(release.updater->size) + "\r\n";
  if (release.service)
    text += std::string(kServiceKey) + "=" + release.service->sha256 + " " + std::to_string(release.service->size) + "\r\n";
  for (const ModuleEntry& row : kModuleCatalogue) {
    const auto it = release.modules.find(row.baseName);
    if (it == release.modules.end()) continue;
    text += std::string(row.baseName) + "=" + it->second.sha256 + " " + std::to_string(it->second.size) + "\r\n";
  }
  return text;
}

std::string Manifest::Text() const {
  IniText ini;
  IniSection& modules = ini.AddSection(kManifestSection);
  for (int i = 0; i < kModuleCount; ++i)
    if (fingerprints[i]) modules.entries.push_back({kModuleCatalogue[i].baseName, *fingerprints[i]});
  if (updaterFingerprint || serviceFingerprint) {
    IniSection& programs = ini.AddSection(kUpdaterSection);
    if (updaterFingerprint) programs.entries.push_back({kUpdaterKey, *updaterFingerprint});
    if (serviceFingerprint) programs.entries.push_back({kServiceKey, *serviceFingerprint});
  }
  IniSection& deflated = ini.AddSection(kCompressedSection);
  for (int i = 0; i < kModuleCount; ++i)
    if (const std::optional<CompressedEntry>& c = compressed[i])
      deflated.entries.push_back({kModuleCatalogue[i].baseName, c->sha256 + " " + std::to_string(c->size) + " " +
                                                                     std::to_string(c->moduleSize)});
  IniSection& patched = ini.AddSection(kPatchesSection);
  for (int i = 0; i < kModuleCount; ++i)
    for (size_t n = 0; n < patches[i].size(); ++n) {
      const PatchEntry& p = patches[i][n];
      patched.entries.push_back({std::string(kModuleCatalogue[i].baseName) + "." + std::to_string(n + 1),
                                 p.name + " " + p.sha256 + " " + std::to_string(p.size) + " " + p.sourceSha256 + " " +
                                     p.sourceFingerprint + " " + std::to_string(p.moduleSize)});
    }
  if (rolloutPercent) ini.AddSection(kRolloutSection).entries.push_back({"Percent", std::to_string(*rolloutPercent)});
  if (probationSeconds) ini.AddSection(kReleaseSection).entries.push_back({"Probation", std::to_string(*probationSeconds)});
  IniSection named;
  for (int i = 0; i < kModuleCount; ++i) {
    const std::string base = kModuleCatalogue[i].baseName;
    if (!files.modules[i].empty()) named.entries.push_back({base, files.modules[i]});
    if (!files.deflated[i].empty()) named.entries.push_back({base + kCompressedSuffix, files.deflated[i]});
  }
  if (!files.updater.empty()) named.entries.push_back({kUpdaterKey, files.updater});
  if (!files.service.empty()) named.entries.push_back({kServiceKey, files.service});
  if (!named.entries.empty()) ini.AddSection(kFilesSection).entries = std::move(named.entries);
  if (!mirrors.empty()) {
    IniSection& listed = ini.AddSection(kMirrorsSection);
    for (size_t n = 0; n < mirrors.size(); ++n) listed.entries.push_back({std::to_string(n + 1), mirrors[n]});
  }
  for (const IniSection& section : otherSections) ini.AddSection(section.name).entries = section.entries;
  return ini.Text() + (signedRelease ? SignedSectionText(*signedRelease) : std::string());
}

std::string ManifestShortfall(const Manifest& manifest, const std::array<bool, kModuleCount>& installed,
                              bool signedRequired) {
  bool any = false;
  for (const std::optional<std::string>& value : manifest.fingerprints) any = any || (value && !value->empty());
  // Whatever answered may not be a manifest at all (a captive portal's page).
  if (!any) return "no module listed (not a manifest?)";
  for (int i = 0; i < kModuleCount; ++i) {
    const char* name = kModuleCatalogue[i].baseName;
    const std::string value = manifest.fingerprints[i].value_or(std::string());
    if (value.empty()) {
      // Empty equals empty: a module neither installed nor listed is not queued.
      if (installed[i]) return std::string("no fingerprint for the installed module ") + name;
      continue;
    }
    if (!IsWellFormedDigest(value)) return std::string("a malformed fingerprint for ") + name;
    if (signedRequired && !(manifest.signedRelease && manifest.signedRelease->modules.count(name)))
      return std::string("the signed section does not cover ") + name;
  }
  return {};
}
