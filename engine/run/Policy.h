// An administrator's policy for the updater, from the registry key
// Software\Policies\Velnoria\Updater, machine-wide (HKLM) first, then per
// user (HKCU): a machine value wins over a user's. docs/integration.md,
// "For administrators", lists the values.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "engine/release/Rollout.h"

constexpr char kPolicyKey[] = "Software\\Policies\\Velnoria\\Updater";

// One registry value as read: its type and data.
struct PolicyValue {
  enum Type { Dword, String, Other } type = Other;
  uint32_t number = 0;
  std::string text;
};
using PolicyValues = std::map<std::string, PolicyValue>;  // by value name, as the registry has it

// The policy the two sources make. A value of the wrong type or out of range
// is ignored; `notes` says what was taken and what was ignored, for the
// support log. `blockServerBase` is the hand-off block's: a ServerBase must
// end as it does.
UpdatePolicy ResolvePolicy(const PolicyValues& machine, const PolicyValues& user, const std::string& blockServerBase,
                           std::vector<std::string>& notes);

// The values under kPolicyKey of the machine (HKLM) or the user (HKCU).
PolicyValues ReadPolicyValues(bool machine);
