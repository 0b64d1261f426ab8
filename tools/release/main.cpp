// update-release: the release team's tool for publishing product updates.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Publisher.h"
#include "engine/ModuleDigest.h"

namespace {

const char kUsage[] =
    "usage:\n"
    "  update-release digest FILE...\n"
    "      Print the module fingerprint of each file: digest, two spaces, name.\n"
    "  update-release publish BUILD_DIR SERVER_DIR [--notes FILE] [--carry-over EARLIER_SERVER_DIR]\n"
    "      Publish the modules of BUILD_DIR (laid out as installed, with Velnoria.exe)\n"
    "      into SERVER_DIR under their server names, with the manifest ModelMD5.dll\n"
    "      and, given --notes, the release notes UpdateContent.dll.\n"
    "      The manifest always covers all 17 modules: a module absent from the build\n"
    "      is an error, unless --carry-over names a folder published earlier, from\n"
    "      which it is then taken unchanged.\n"
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
  options.buildDir = positional[0];
  options.serverDir = positional[1];

  const PublishResult result = Publish(options);
  for (const auto& name : result.missing) std::fprintf(stderr, "update-release: missing: %s\n", name.c_str());
  for (const auto& name : result.carriedOver)
    std::fprintf(stderr, "update-release: carried over from the earlier release: %s\n", name.c_str());
  for (const auto& error : result.errors) std::fprintf(stderr, "update-release: %s\n", error.c_str());
  if (!result.ok) return 1;
  std::printf("published %zu modules to %s\n", result.published.size(), options.serverDir.c_str());
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
  return Usage(("unknown command " + command).c_str());
}
