// The fixed catalogue of the product's 17 module files, in walking order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ModuleEntry {
  const char* baseName;
  const char* extension;
  uint32_t messageId;  // also the module's progress message

  // Name under the server base and key in the manifest.
  std::string RemoteName() const { return std::string(baseName) + extension; }
  // Name of the installed file relative to the install folder.
  std::string LocalName() const;
};

constexpr int kModuleCount = 17;
extern const ModuleEntry kModuleCatalogue[kModuleCount];

// The launcher row is installed as the product's main executable.
extern const char kLauncherBaseName[];   // "Saffen"
extern const char kProductExecutable[];  // "Velnoria.exe"

// Server-side file names.
extern const char kManifestFileName[];      // "ModelMD5.dll"
extern const char kReleaseNotesFileName[];  // "UpdateContent.dll"

// The updater's own program: published beside the modules when the release
// team's build holds it, listed in sections the catalogue's readers ignore
// (engine/release/Manifest.h), and installed with them. Its progress message
// is the one id no row has.
extern const char kUpdaterFileName[];  // "Updater.exe"
constexpr uint32_t kUpdaterMessageId = 0x46F;
// The update service of per-machine installs (keyed builds): published and
// installed as the updater is, where the install folder holds one. Its
// progress message lies above the engine's own (engine/run/EngineMessages.h).
extern const char kServiceFileName[];  // "UpdaterService.exe"
constexpr uint32_t kServiceMessageId = 0x47A;  // WM_USER + 122
// The installed names of everything a release may carry: the rows, then the
// updater and the service.
std::vector<std::string> ReleaseFileNames();
// Cheaper ways to a module, beside it on the server: the module deflated
// ("<remote name>.z") and patches from earlier releases.
extern const char kCompressedSuffix[];   // ".z"
extern const char kPatchSuffix[];        // ".patch"

// Progress slots: one per catalogue row, then the updater's and the service's.
constexpr int kProgressSlots = kModuleCount + 2;
// The slot of a progress message (a row's index, or kModuleCount for the updater), or -1.
int ProgressSlotOfMessage(uint32_t messageId);

// The range the progress messages lie in (0x46F, no row's, is the updater's).
constexpr uint32_t kFirstProgressMessage = 0x466;
constexpr uint32_t kLastProgressMessage = 0x477;

// Index of the row whose progress message this is, or -1.
int CatalogueIndexOfMessage(uint32_t messageId);
// Index of the row of a base name (compared without regard to case, as the
// manifest's keys are), or -1.
int CatalogueIndexOfBaseName(const std::string& baseName);
