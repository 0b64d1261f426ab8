#include "framework/Paths.h"

namespace {

// Position of the last `separator` that is a character of its own.
std::string::size_type LastSeparator(const std::string& path, char separator, LeadByteTest isLeadByte) {
  std::string::size_type last = std::string::npos;
  for (std::string::size_type i = 0; i < path.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(path[i]);
    if (isLeadByte && isLeadByte(byte) && i + 1 < path.size()) {
      ++i;  // the trail byte is part of this character
      continue;
    }
    if (path[i] == separator) last = i;
  }
  return last;
}

}  // namespace

std::string DirectoryUpToLastBackslash(const std::string& path, LeadByteTest isLeadByte) {
  const auto pos = LastSeparator(path, '\\', isLeadByte);
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string GetDirectoryOfPath(const std::string& path, LeadByteTest isLeadByte) {
  std::string dir = DirectoryUpToLastBackslash(path, isLeadByte);
  if (dir.empty()) {
    const auto pos = LastSeparator(path, '/', isLeadByte);
    if (pos != std::string::npos) dir = path.substr(0, pos + 1);
  }
  return dir;
}

bool IsGbkLeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }
