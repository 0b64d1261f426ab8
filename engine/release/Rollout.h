// Which release this installation is offered, decided on the client from the
// (signed) manifest and the administrator's policy: a staged rollout offers a
// release to the installations whose bucket lies below its stage; a policy
// may pin a fleet below a release number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/release/Manifest.h"

// The installation's identity: random bytes made once per install folder and
// kept there as hexadecimal digits ("Installation.id"); never sent anywhere.
constexpr char kInstallationIdName[] = "Installation.id";
constexpr size_t kInstallationIdBytes = 16;

// The installation's bucket (0 to 99) for the release `manifest` describes:
// a hash of the identity and the release's module fingerprints, so each
// release picks its own first installations and a bucket stays put while the
// stage moves (the manifest's number and bytes change with each stage).
int RolloutBucket(const std::string& identity, const Manifest& manifest);

// Which release `manifest` describes, by its modules' fingerprints alone: 8
// hexadecimal digits, the same at every stage of its rollout (each stage
// changes the manifest's bytes and number, never its modules).
std::string ReleaseContentId(const Manifest& manifest);

// What an administrator's policy asks of the updater (the registry's
// Software\Policies\Velnoria\Updater; machine values first, then the user's).
struct UpdatePolicy {
  bool updatesEnabled = true;
  bool backgroundEnabled = true;
  std::optional<int64_t> maxRelease;      // a signed release above it is not offered
  std::optional<std::string> serverBase;  // replaces the block's
  std::optional<int> rolloutOverride;     // 0-100: this installation's bucket
  bool reportOutcomes = true;             // each run's outcome goes to the server
};

struct Offer {
  bool offered = true;
  std::string why;  // for the support log
  // What holds a release back: the policy's MaxRelease (`pinnedAt` is it),
  // or the rollout's stage (a halt at 0 %).
  int64_t pinnedAt = -1;
  // What it was decided on, for the run's outcome report: the bucket a
  // stage drew (-1: none) and the signed release (-1: unsigned).
  int bucket = -1;
  int stagePercent = -1;  // the stage, when one was applied
  bool Halted() const { return stagePercent == 0; }
  int64_t release = -1;
  std::string content;  // ReleaseContentId
};

// Whether the release is offered to this installation in `mode`: a policy's
// MaxRelease holds back a signed release above it in every mode; a rollout
// stage below 100 % (absent: 100) offers the release to the buckets below it,
// never holding back the mandatory mode. `bucket` is RolloutBucket's, unless
// the policy overrides it (100: only once the release is out to all).
// With `stageUndecided` (mode 1 offered the release because its start check
// could not decide) a stage does not hold back the run the user started,
// but a halt (0 %) and a pin still do.
Offer DecideOffer(int32_t mode, const Manifest& manifest, int bucket, const UpdatePolicy& policy,
                  bool stageUndecided = false);

// This installation's identity from `folder`'s file, made from the
// platform's random generator and kept there the first time (Windows only).
// Nothing when the generator fails: no identity is kept, and the next run
// draws again.
std::optional<std::string> InstallationIdentity(const std::wstring& folder);
// The bucket of an installation that has no identity: offered only a
// release out to all.
constexpr int kNoBucket = 100;
