#include "engine/install/Probation.h"

#include "engine/install/InstallPaths.h"
#include "engine/release/IniText.h"

namespace {

constexpr char kProbationSection[] = "Probation";
constexpr char kPreviousSection[] = "Previous";
constexpr char kRevertedSection[] = "Reverted";
constexpr char kNewModule[] = "new";

uint32_t Number32(const std::optional<std::string>& value) {
  const int64_t n = DecimalValue(value);
  return n >= 0 && n <= 0xFFFFFFFFLL ? static_cast<uint32_t>(n) : 0;
}

}  // namespace

bool ProductFailed(const ProbationEvents& events) {
  if (events.healthSignalled || events.updaterExitSet) return false;
  return events.processEnded && events.exitCode != 0;
}

std::optional<ProbationRecord> ProbationRecord::Parse(std::string_view bytes) {
  const IniText ini = IniText::Parse(bytes);
  const std::optional<std::string> state = ini.ProfileValue(kProbationSection, "State");
  if (!state || (*state != "watching" && *state != "failed")) return std::nullopt;
  ProbationRecord record;
  record.failed = *state == "failed";
  record.content = ini.ProfileValue(kProbationSection, "Content").value_or(std::string());
  record.release = DecimalValue(ini.ProfileValue(kProbationSection, "Release"));
  record.exitCode = Number32(ini.ProfileValue(kProbationSection, "ExitCode"));
  record.seconds = Number32(ini.ProfileValue(kProbationSection, "Seconds"));
  const IniSection* previous = ini.Section(kPreviousSection);
  if (!previous || previous->HasRepeatedKey()) return std::nullopt;
  for (const IniEntry& entry : previous->entries) {
    const bool isNew = entry.value == kNewModule;
    if (!IsRecordedModuleName(entry.key) || (!isNew && !IsLowerHex(entry.value, 32))) return std::nullopt;
    record.previous.emplace_back(entry.key, isNew ? std::string() : entry.value);
  }
  return record;
}

std::string ProbationRecord::Text() const {
  IniText ini;
  std::vector<IniEntry>& head = ini.AddSection(kProbationSection).entries;
  head.push_back({"State", failed ? "failed" : "watching"});
  head.push_back({"Content", content});
  head.push_back({"Release", std::to_string(release)});
  if (failed) {
    head.push_back({"ExitCode", std::to_string(exitCode)});
    head.push_back({"Seconds", std::to_string(seconds)});
  }
  std::vector<IniEntry>& modules = ini.AddSection(kPreviousSection).entries;
  for (const auto& [name, digest] : previous) modules.push_back({name, digest.empty() ? kNewModule : digest});
  return ini.Text();
}

RevertedRelease RevertedRelease::Parse(std::string_view bytes) {
  const IniText ini = IniText::Parse(bytes);
  RevertedRelease reverted;
  reverted.content = ini.ProfileValue(kRevertedSection, "Content").value_or(std::string());
  reverted.release = DecimalValue(ini.ProfileValue(kRevertedSection, "Release"));
  reverted.exitCode = Number32(ini.ProfileValue(kRevertedSection, "ExitCode"));
  reverted.seconds = Number32(ini.ProfileValue(kRevertedSection, "Seconds"));
  return reverted;
}

std::string RevertedRelease::Text() const {
  IniText ini;
  std::vector<IniEntry>& entries = ini.AddSection(kRevertedSection).entries;
  entries.push_back({"Content", content});
  entries.push_back({"Release", std::to_string(release)});
  entries.push_back({"ExitCode", std::to_string(exitCode)});
  entries.push_back({"Seconds", std::to_string(seconds)});
  return ini.Text();
}
