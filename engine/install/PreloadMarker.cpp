#include "engine/install/PreloadMarker.h"

#include "engine/release/IniText.h"

namespace {

constexpr char kSection[] = "SUpgrade";

}  // namespace

PreloadMarker PreloadMarker::Parse(std::string_view bytes) {
  const IniText ini = IniText::Parse(bytes);
  PreloadMarker marker;
  marker.ready = ini.ProfileValue(kSection, "Key").value_or(std::string()) == "1";
  marker.manifestSha256 = ini.ProfileValue(kSection, "Manifest").value_or(std::string());
  marker.release = DecimalValue(ini.ProfileValue(kSection, "Release"));
  marker.content = ini.ProfileValue(kSection, "Content").value_or(std::string());
  return marker;
}

std::string PreloadMarker::Text() const {
  std::string text = std::string("[") + kSection + "]\r\nKey=" + (ready ? "1" : "0") + "\r\nManifest=" + manifestSha256 + "\r\n";
  if (release >= 0) text += "Release=" + std::to_string(release) + "\r\n";
  if (!content.empty()) text += "Content=" + content + "\r\n";
  return text;
}
