// The fixed catalogue of the product's 17 module files, in walking order.
#pragma once

#include <cstdint>
#include <string>

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
extern const char kManifestSection[];       // "ModuleVersion"
extern const char kReleaseNotesFileName[];  // "UpdateContent.dll"

// The range the rows' progress messages lie in (one id within it, 0x46F, is no row's).
constexpr uint32_t kFirstProgressMessage = 0x466;
constexpr uint32_t kLastProgressMessage = 0x477;

// Index of the row whose progress message this is, or -1.
int CatalogueIndexOfMessage(uint32_t messageId);
