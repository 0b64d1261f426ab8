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
  IniText ini;
  std::vector<IniEntry>& entries = ini.AddSection(kSection).entries;
  entries.push_back({"Key", ready ? "1" : "0"});
  entries.push_back({"Manifest", manifestSha256});
  if (release >= 0) entries.push_back({"Release", std::to_string(release)});
  if (!content.empty()) entries.push_back({"Content", content});
  return ini.Text();
}
