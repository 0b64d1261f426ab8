#include "engine/release/ModuleCatalogue.h"

#include <cctype>
#include <cstring>

const char kLauncherBaseName[] = "Saffen";
const char kProductExecutable[] = "Velnoria.exe";
const char kManifestFileName[] = "ModelMD5.dll";
const char kReleaseNotesFileName[] = "UpdateContent.dll";
const char kUpdaterFileName[] = "Updater.exe";
const char kServiceFileName[] = "UpdaterService.exe";
const char kCompressedSuffix[] = ".z";
const char kPatchSuffix[] = ".patch";

const ModuleEntry kModuleCatalogue[kModuleCount] = {
    {"Velkor", ".dll", 0x468},   {"Drimsa", ".dll", 0x466},  {"Tobrin", ".dll", 0x46B},
    {"Pravik", ".exe", 0x467},   {"Mornel", ".dll", 0x469},  {"Quintar", ".dll", 0x46A},
    {"Brellow", ".dll", 0x46C},  {"KelmoTop", ".dll", 0x46D}, {"Lumsk", ".dll", 0x46E},
    {"Saffen", ".exe", 0x471},   {"Fetchkit", ".dll", 0x470}, {"Wendra", ".dll", 0x472},
    {"Tamrik", ".dll", 0x473},   {"Corvish", ".dll", 0x474}, {"Nubrel", ".exe", 0x475},
    {"skve", ".exe", 0x477},     {"Zibrun", ".exe", 0x476},
};

std::string ModuleEntry::LocalName() const {
  if (std::strcmp(baseName, kLauncherBaseName) == 0) return kProductExecutable;
  return RemoteName();
}

int CatalogueIndexOfMessage(uint32_t messageId) {
  for (int i = 0; i < kModuleCount; ++i)
    if (kModuleCatalogue[i].messageId == messageId) return i;
  return -1;
}

int CatalogueIndexOfBaseName(const std::string& baseName) {
  for (int i = 0; i < kModuleCount; ++i) {
    const char* name = kModuleCatalogue[i].baseName;
    if (std::strlen(name) != baseName.size()) continue;
    bool same = true;
    for (size_t k = 0; k < baseName.size() && same; ++k)
      same = std::tolower(static_cast<unsigned char>(name[k])) == std::tolower(static_cast<unsigned char>(baseName[k]));
    if (same) return i;
  }
  return -1;
}

int ProgressSlotOfMessage(uint32_t messageId) {
  if (messageId == kUpdaterMessageId) return kModuleCount;
  if (messageId == kServiceMessageId) return kModuleCount + 1;
  return CatalogueIndexOfMessage(messageId);
}

std::vector<std::string> ReleaseFileNames() {
  std::vector<std::string> names;
  for (const ModuleEntry& row : kModuleCatalogue) names.push_back(row.LocalName());
  names.push_back(kUpdaterFileName);
  names.push_back(kServiceFileName);
  return names;
}
