#include "engine/run/Policy.h"

#include <cctype>

namespace {

// The value of `name`, the machine's before the user's, with where it came from.
const PolicyValue* Find(const PolicyValues& machine, const PolicyValues& user, const char* name, const char*& from) {
  for (const auto& [values, where] : {std::pair<const PolicyValues*, const char*>{&machine, "machine"},
                                      std::pair<const PolicyValues*, const char*>{&user, "user"}}) {
    for (const auto& [key, value] : *values) {
      if (key.size() != std::char_traits<char>::length(name)) continue;
      bool same = true;
      for (size_t i = 0; i < key.size() && same; ++i)
        same = std::tolower(static_cast<unsigned char>(key[i])) == std::tolower(static_cast<unsigned char>(name[i]));
      if (!same) continue;
      from = where;
      return &value;
    }
  }
  return nullptr;
}

bool PlausibleBase(const std::string& base, const std::string& block) {
  if (base.size() < 8 || base.size() >= 260 || block.empty() || base.back() != block.back()) return false;
  if (base.rfind("http://", 0) != 0 && base.rfind("https://", 0) != 0) return false;
  for (unsigned char c : base)
    if (c <= 0x20 || c >= 0x7f) return false;
  return true;
}

}  // namespace

UpdatePolicy ResolvePolicy(const PolicyValues& machine, const PolicyValues& user, const std::string& blockServerBase,
                           std::vector<std::string>& notes) {
  UpdatePolicy policy;
  const char* from = "";
  auto dword = [&](const char* name, uint32_t max) -> std::optional<uint32_t> {
    const PolicyValue* v = Find(machine, user, name, from);
    if (!v) return std::nullopt;
    if (v->type != PolicyValue::Dword || v->number > max) {
      notes.push_back(std::string("policy ") + name + " (" + from + "): ignored, not a DWORD from 0 to " +
                      std::to_string(max));
      return std::nullopt;
    }
    notes.push_back(std::string("policy ") + name + " (" + from + "): " + std::to_string(v->number));
    return v->number;
  };
  if (const auto v = dword("UpdatesEnabled", 1)) policy.updatesEnabled = *v != 0;
  if (const auto v = dword("BackgroundEnabled", 1)) policy.backgroundEnabled = *v != 0;
  if (const auto v = dword("MaxRelease", 0xFFFFFFFFu)) policy.maxRelease = *v;
  if (const auto v = dword("RolloutOverride", 100)) policy.rolloutOverride = static_cast<int>(*v);
  if (const auto v = dword("ReportOutcomes", 1)) policy.reportOutcomes = *v != 0;
  if (const PolicyValue* v = Find(machine, user, "ServerBase", from)) {
    if (v->type == PolicyValue::String && PlausibleBase(v->text, blockServerBase)) {
      policy.serverBase = v->text;
      notes.push_back(std::string("policy ServerBase (") + from + "): \"" + v->text + "\"");
    } else {
      notes.push_back(std::string("policy ServerBase (") + from + "): ignored, not an http(s) address of up to 259 "
                      "characters that ends as the product's own does");
    }
  }
  return policy;
}
