// update-release: the release team's tool for publishing product updates.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "AccessLog.h"
#include "Publisher.h"
#include "engine/release/Manifest.h"
#include "DeltaMaker.h"
#include "ReportPage.h"
#include "Signing.h"
#include "engine/transfer/DeltaPatch.h"
#include "engine/release/ModuleDigest.h"
#include "engine/release/SignedRelease.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  update-release digest FILE...\n"
    "      Print the module fingerprint of each file: digest, two spaces, name.\n"
    "  update-release publish BUILD_DIR SERVER_DIR [--notes FILE] [--carry-over EARLIER_SERVER_DIR]\n"
    "                 [--sign KEYFILE --release N [--expires-days D] [--published-at SECONDS]]\n"
    "                 [--delta-from EARLIER_SERVER_DIR]... [--rollout PERCENT]\n"
    "                 [--mirror BASE]... [--keep-releases N] [--probation SECONDS]\n"
    "      Publish the modules of BUILD_DIR (laid out as installed, with Velnoria.exe)\n"
    "      into SERVER_DIR under their server names, with the manifest ModelMD5.dll\n"
    "      and, given --notes, the release notes UpdateContent.dll.\n"
    "      The manifest always covers all 17 modules: a module absent from the build\n"
    "      is an error, unless --carry-over names a folder published earlier, from\n"
    "      which it is then taken unchanged.\n"
    "      With --sign the manifest also holds the release number N and every file's\n"
    "      SHA-256 and size, and ModelMD5.sig its ECDSA P-256 signature; with\n"
    "      --expires-days the release expires D days from now (a keyed updater then\n"
    "      refuses it: publish the same build again with a higher number to refresh it),\n"
    "      counted from --published-at (seconds since 1970, UTC; default: now).\n"
    "      An Updater.exe in BUILD_DIR is published too: updaters renew themselves.\n"
    "      Every module is also published deflated (NAME.z) where that saves a tenth;\n"
    "      with --delta-from, a module that differs from that earlier release's gets a\n"
    "      patch from it too, where that saves a tenth of the module deflated.\n"
    "      With --rollout the release starts at that stage (see rollout).\n"
    "      --probation sets how long the product must run on the release before an\n"
    "      installation lets its previous release go (0 to 600 s, default 60; signed\n"
    "      releases only): a product that fails on it sooner is put back.\n"
    "      Every file also goes under a name of its content (Velkor.<16 digits>.dll),\n"
    "      which the manifest lists and a CDN may cache for a year; those of the last\n"
    "      N publishes into the folder stay (--keep-releases, default 3; 0 keeps all).\n"
    "      --mirror lists another base serving the same folder (in order, up to 8).\n"
    "  update-release keygen KEYFILE [--force]\n"
    "      Make a release key: the private key to KEYFILE (PEM, owner only), the\n"
    "      public key to KEYFILE.pub (DER), which the updater's build embeds.\n"
    "  update-release verify SERVER_DIR KEYFILE.pub [--delta-from EARLIER_SERVER_DIR]...\n"
    "      Check a published folder as a keyed updater will; says what is wrong.\n"
    "      Patches are applied to their sources from the earlier folders given.\n"
    "  update-release keep SERVER_DIR KEYFILE.pub INSTALL_DIR\n"
    "      For an installer: write the kept release of SERVER_DIR (KeptRelease.dat)\n"
    "      into INSTALL_DIR, so that the installation never goes below its own release.\n"
    "  update-release rollout SERVER_DIR PERCENT [--sign KEYFILE]\n"
    "      Offer the published release to PERCENT of the installations (0 halts it;\n"
    "      the mandatory mode is never held back): a new manifest with the same\n"
    "      modules and the next release number, signed again with KEYFILE.\n"
    "  update-release rollout SERVER_DIR --status\n"
    "      Print the stage of the published release.\n"
    "  update-release report LOG... [--out REPORT.html]\n"
    "      Read the updaters' outcome reports from web server access logs (combined\n"
    "      format, plain or gzip-compressed, in any order) and print, per release, the\n"
    "      runs by outcome and mode, the rollout's buckets, the failures ranked and\n"
    "      the bytes by way; with --out also a self-contained HTML page of the same.\n"
    "  update-release diff OLD NEW PATCH\n"
    "      Make a patch that turns OLD into NEW (docs/delta-format.md).\n"
    "  update-release patch OLD PATCH OUT\n"
    "      Apply PATCH to OLD; OUT is then NEW byte for byte.\n"
    "  update-release --help\n"
    "Exit status: 0 on success, 1 on any error, 2 on a usage error.\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "update-release: %s\n", problem);
  std::fputs(kUsage, problem ? stderr : stdout);
  return problem ? 2 : 0;
}

int Digest(const std::vector<std::string>& files) {
  if (files.empty()) return Usage("digest needs at least one file");
  int status = 0;
  for (const auto& file : files) {
    const std::string digest = ModuleDigest(file, kModuleDigestKey);
    if (digest.empty()) {
      std::fprintf(stderr, "update-release: cannot read %s\n", file.c_str());
      status = 1;
      continue;
    }
    std::printf("%s  %s\n", digest.c_str(), file.c_str());
  }
  return status;
}

// A whole decimal number from `min` to `max`, and nothing else.
bool WholeNumber(const std::string& text, int64_t min, int64_t max, int64_t& out) {
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end || errno == ERANGE || n < min || n > max) return false;
  out = n;
  return true;
}

int PublishCommand(const std::vector<std::string>& args) {
  PublishOptions options;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--allow-missing") {
      return Usage("--allow-missing is gone: a manifest must cover every module; "
                   "use --carry-over EARLIER_SERVER_DIR for a partial build");
    } else if (args[i] == "--carry-over") {
      if (++i == args.size()) return Usage("--carry-over needs a folder");
      options.carryOverDir = args[i];
    } else if (args[i] == "--sign") {
      if (++i == args.size()) return Usage("--sign needs a key file");
      options.signKey = args[i];
    } else if (args[i] == "--release") {
      if (++i == args.size()) return Usage("--release needs a number");
      if (!WholeNumber(args[i], 0, kMaxReleaseNumber, options.releaseNumber))
        return Usage("--release needs a number from 0 to 4294967295");
    } else if (args[i] == "--expires-days") {
      if (++i == args.size()) return Usage("--expires-days needs a number");
      if (!WholeNumber(args[i], 1, 3650, options.expiresDays))
        return Usage("--expires-days needs a number of days from 1 to 3650");
    } else if (args[i] == "--published-at") {
      if (++i == args.size()) return Usage("--published-at needs a time");
      if (!WholeNumber(args[i], 1, INT64_MAX, options.now)) return Usage("--published-at needs seconds since 1970");
    } else if (args[i] == "--delta-from") {
      if (++i == args.size()) return Usage("--delta-from needs a folder");
      options.deltaFrom.push_back(args[i]);
    } else if (args[i] == "--rollout") {
      if (++i == args.size()) return Usage("--rollout needs a percentage");
      int64_t percent = 0;
      if (!WholeNumber(args[i], 0, 100, percent)) return Usage("--rollout needs a percentage from 0 to 100");
      options.rolloutPercent = static_cast<int>(percent);
    } else if (args[i] == "--probation") {
      if (++i == args.size()) return Usage("--probation needs seconds");
      int64_t seconds = 0;
      if (!WholeNumber(args[i], 0, kMaxProbationSeconds, seconds)) return Usage("--probation needs seconds from 0 to 600");
      options.probationSeconds = static_cast<int>(seconds);
    } else if (args[i] == "--mirror") {
      if (++i == args.size()) return Usage("--mirror needs a base address");
      options.mirrors.push_back(args[i]);
    } else if (args[i] == "--keep-releases") {
      if (++i == args.size()) return Usage("--keep-releases needs a number");
      int64_t n = 0;
      if (!WholeNumber(args[i], 0, 1000, n)) return Usage("--keep-releases needs a number from 0 to 1000");
      options.keepReleases = static_cast<int>(n);
    } else if (args[i] == "--notes") {
      if (++i == args.size()) return Usage("--notes needs a file");
      options.notesFile = args[i];
    } else if (args[i].rfind("--", 0) == 0) {
      return Usage(("unknown option " + args[i]).c_str());
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) return Usage("publish needs BUILD_DIR and SERVER_DIR");
  if (options.signKey.empty() != (options.releaseNumber < 0)) return Usage("--sign and --release go together");
  if (options.expiresDays > 0 && options.signKey.empty()) return Usage("--expires-days needs --sign");
  options.buildDir = positional[0];
  options.serverDir = positional[1];
  options.progress = [](const std::string& line) { std::printf("  %s\n", line.c_str()); };

  const PublishResult result = Publish(options);
  for (const auto& name : result.missing) std::fprintf(stderr, "update-release: missing: %s\n", name.c_str());
  for (const auto& name : result.carriedOver)
    std::fprintf(stderr, "update-release: carried over from the earlier release: %s\n", name.c_str());
  for (const auto& warning : result.warnings) std::fprintf(stderr, "update-release: warning: %s\n", warning.c_str());
  for (const auto& error : result.errors) std::fprintf(stderr, "update-release: %s\n", error.c_str());
  if (!result.ok) return 1;
  std::printf("published %zu modules%s%s to %s: %lld bytes, %lld deflated", result.published.size(),
              result.updater ? " and the updater" : "", result.service ? " and the update service" : "",
              options.serverDir.c_str(),
              static_cast<long long>(result.wholeBytes), static_cast<long long>(result.compressedBytes));
  if (!result.patches.empty())
    std::printf(", %zu patches of %lld bytes", result.patches.size(), static_cast<long long>(result.patchBytes));
  std::printf("\n");
  if (!result.pruned.empty())
    std::printf("removed %zu files of publishes older than the last %d\n", result.pruned.size(), options.keepReleases);
  return 0;
}

int KeygenCommand(const std::vector<std::string>& args) {
  bool force = false;
  std::vector<std::string> positional;
  for (const auto& a : args) {
    if (a == "--force")
      force = true;
    else if (a.rfind("--", 0) == 0)
      return Usage(("unknown option " + a).c_str());
    else
      positional.push_back(a);
  }
  if (positional.size() != 1) return Usage("keygen needs KEYFILE");
  std::string error;
  if (!signing::GenerateKey(positional[0], force, error)) {
    std::fprintf(stderr, "update-release: %s\n", error.c_str());
    return 1;
  }
  std::printf("private key: %s (keep it off the update server)\npublic key:  %s.pub\n", positional[0].c_str(),
              positional[0].c_str());
  return 0;
}

int VerifyCommand(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::vector<std::filesystem::path> earlier;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--delta-from") {
      if (++i == args.size()) return Usage("--delta-from needs a folder");
      earlier.push_back(args[i]);
    } else if (args[i].rfind("--", 0) == 0) {
      return Usage(("unknown option " + args[i]).c_str());
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() != 2) return Usage("verify needs SERVER_DIR and KEYFILE.pub");
  const std::vector<std::string> problems = VerifyPublished(positional[0], positional[1], 0, earlier);
  for (const auto& p : problems) std::fprintf(stderr, "update-release: %s\n", p.c_str());
  if (!problems.empty()) return 1;
  std::printf("%s: signature, files, notes and cheaper ways check out\n", positional[0].c_str());
  return 0;
}

int KeepCommand(const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("keep needs SERVER_DIR, KEYFILE.pub and INSTALL_DIR");
  const std::vector<std::string> problems = KeepForInstaller(args[0], args[1], args[2]);
  for (const auto& p : problems) std::fprintf(stderr, "update-release: %s\n", p.c_str());
  if (!problems.empty()) return 1;
  std::printf("%s: the release of %s is kept\n", args[2].c_str(), args[0].c_str());
  return 0;
}

int RolloutCommand(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::string key;
  bool status = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--sign") {
      if (++i == args.size()) return Usage("--sign needs a key file");
      key = args[i];
    } else if (args[i] == "--status") {
      status = true;
    } else if (args[i].rfind("--", 0) == 0) {
      return Usage(("unknown option " + args[i]).c_str());
    } else {
      positional.push_back(args[i]);
    }
  }
  std::string summary;
  std::vector<std::string> problems;
  if (status) {
    if (positional.size() != 1 || !key.empty()) return Usage("rollout --status needs SERVER_DIR alone");
    problems = RolloutStatus(positional[0], summary);
  } else {
    if (positional.size() != 2) return Usage("rollout needs SERVER_DIR and PERCENT (or --status)");
    int64_t percent = 0;
    if (!WholeNumber(positional[1], 0, 100, percent)) return Usage("rollout needs a percentage from 0 to 100");
    problems = SetRollout(positional[0], static_cast<int>(percent), key, summary);
  }
  for (const auto& p : problems) std::fprintf(stderr, "update-release: %s\n", p.c_str());
  if (!problems.empty()) return 1;
  std::printf("%s\n", summary.c_str());
  return 0;
}

int ReportCommand(const std::vector<std::string>& args) {
  std::vector<std::string> logs;
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (++i == args.size()) return Usage("--out needs a file");
      out = args[i];
    } else if (args[i].rfind("--", 0) == 0) {
      return Usage(("unknown option " + args[i]).c_str());
    } else {
      logs.push_back(args[i]);
    }
  }
  if (logs.empty()) return Usage("report needs at least one access log");
  ReportTally tally;
  int status = 0;
  for (const std::string& log : logs) {
    std::string error;
    if (!tally.AddFile(log, error)) {
      std::fprintf(stderr, "update-release: %s\n", error.c_str());
      status = 1;
    }
  }
  std::fputs(ReportText(tally).c_str(), stdout);
  if (!out.empty()) {
    const std::string page = ReportHtml(tally, logs, static_cast<int64_t>(std::time(nullptr)));
    if (!WriteFileBytes(out, page)) {
      std::fprintf(stderr, "update-release: cannot write %s\n", out.c_str());
      return 1;
    }
    std::printf("wrote %s\n", out.c_str());
  }
  return status;
}

int DiffCommand(const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("diff needs OLD, NEW and PATCH");
  bool readOld = false, readNew = false;
  const std::string old = ReadFileBytes(args[0], readOld), fresh = ReadFileBytes(args[1], readNew);
  if (!readOld || !readNew) {
    std::fprintf(stderr, "update-release: cannot read %s or %s\n", args[0].c_str(), args[1].c_str());
    return 1;
  }
  const std::string patch = MakePatch(old, fresh);
  if (patch.empty() || !WriteFileBytes(args[2], patch)) {
    std::fprintf(stderr, "update-release: cannot make %s\n", args[2].c_str());
    return 1;
  }
  std::printf("%s: %zu bytes for %zu bytes of %s\n", args[2].c_str(), patch.size(), fresh.size(), args[1].c_str());
  return 0;
}

int PatchCommand(const std::vector<std::string>& args) {
  if (args.size() != 3) return Usage("patch needs OLD, PATCH and OUT");
  bool readOld = false, readPatch = false;
  const std::string old = ReadFileBytes(args[0], readOld), patch = ReadFileBytes(args[1], readPatch);
  std::string out;
  if (!readOld || !readPatch) {
    std::fprintf(stderr, "update-release: cannot read %s or %s\n", args[0].c_str(), args[1].c_str());
    return 1;
  }
  const PatchResult result =
      ApplyPatch(reinterpret_cast<const uint8_t*>(old.data()), old.size(), reinterpret_cast<const uint8_t*>(patch.data()),
                 patch.size(), 0x7FFFFFFF, [&](const uint8_t* bytes, size_t n) {
                   out.append(reinterpret_cast<const char*>(bytes), n);
                   return true;
                 });
  if (result != PatchResult::Ok) {
    std::fprintf(stderr, "update-release: %s: %s\n", args[1].c_str(), PatchResultText(result));
    return 1;
  }
  if (!WriteFileBytes(args[2], out)) {
    std::fprintf(stderr, "update-release: cannot write %s\n", args[2].c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") return Usage(nullptr);
  if (command == "digest") return Digest(args);
  if (command == "publish") return PublishCommand(args);
  if (command == "keygen") return KeygenCommand(args);
  if (command == "verify") return VerifyCommand(args);
  if (command == "keep") return KeepCommand(args);
  if (command == "rollout") return RolloutCommand(args);
  if (command == "report") return ReportCommand(args);
  if (command == "diff") return DiffCommand(args);
  if (command == "patch") return PatchCommand(args);
  return Usage(("unknown command " + command).c_str());
}
