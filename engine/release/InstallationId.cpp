#include <cctype>

#include "engine/crypto/Random.h"
#include "engine/crypto/Sha256.h"
#include "engine/release/Rollout.h"
#include "framework/Files.h"
#include "framework/Paths.h"

std::optional<std::string> InstallationIdentity(const std::wstring& folder) {
  const std::wstring path = PathIn(folder, kInstallationIdName);
  std::string text = fw::ReadWholeFile(path, 1024).value_or(std::string());
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  bool hex = text.size() == 2 * kInstallationIdBytes;
  for (char c : text) hex = hex && std::isxdigit(static_cast<unsigned char>(c));
  if (hex) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return bytes;
  }
  // Made once; a folder that cannot keep it gives this run's bytes alone.
  // A failed draw keeps nothing: an all-zero identity would share one bucket with every such machine.
  const std::optional<std::string> bytes = RandomBytes(kInstallationIdBytes);
  if (!bytes || bytes->size() != kInstallationIdBytes) return std::nullopt;
  fw::WriteWholeFile(path, HexOfBytes(*bytes) + "\r\n");
  return bytes;
}
