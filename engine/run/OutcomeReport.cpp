#include "engine/run/OutcomeReport.h"

#include <charconv>
#include <iterator>

#include "engine/release/SignedRelease.h"

namespace {

constexpr const char* kEnds[] = {"installed", "preloaded", "current", "heldback", "refused",
                                 "failed",    "declined",  "cancelled", "policy", "busy", "reverted"};
constexpr const char* kStages[] = {"none",  "recover", "manifest", "trust", "cache", "folder",
                                   "space", "download", "verify",  "store", "install"};

template <typename Enum, size_t N>
bool NameToEnum(std::string_view text, const char* const (&names)[N], Enum& out) {
  for (size_t i = 0; i < N; ++i)
    if (text == names[i]) {
      out = static_cast<Enum>(i);
      return true;
    }
  return false;
}

// Digits only, at most `max`.
template <typename T>
bool Whole(std::string_view text, T max, T& out) {
  if (text.empty() || text.size() > 19 || text[0] < '0' || text[0] > '9') return false;
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > max) return false;
  out = value;
  return true;
}

bool IsHex8(std::string_view text) {
  if (text.size() != 8) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

}  // namespace

const char* RunEndName(RunEnd end) { return kEnds[static_cast<int>(end)]; }
const char* RunStageName(RunStage stage) { return kStages[static_cast<int>(stage)]; }

std::string OutcomeReport::Query() const {
  std::string q = "v=" + std::to_string(kReportVersion) + "&mode=" + std::to_string(mode) + "&outcome=" + RunEndName(end) +
                  "&stage=" + RunStageName(stage) + "&code=" + std::to_string(code);
  if (release >= 0) q += "&release=" + std::to_string(release);
  if (IsHex8(content)) q += "&content=" + content;
  if (before >= 0) q += "&before=" + std::to_string(before);
  if (stagePercent >= 0 && stagePercent <= 100) q += "&rollout=" + std::to_string(stagePercent);
  const std::pair<const char*, const WayCount*> ways[] = {{"patch", &patch}, {"deflated", &deflated}, {"whole", &whole}, {"kept", &kept}};
  for (const auto& [name, way] : ways)
    if (way->modules) q += std::string("&") + name + "=" + std::to_string(way->modules) + "&" + name + "bytes=" + std::to_string(way->bytes);
  return q + "&ms=" + std::to_string(durationMs);
}

std::optional<OutcomeReport> OutcomeReport::FromQuery(std::string_view query) {
  OutcomeReport r;
  bool version = false, mode = false, outcome = false;
  constexpr uint64_t kMaxBytes = 1ULL << 40;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view field = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t eq = field.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
    bool ok = true;
    if (key == "v") {
      int v = 0;
      ok = Whole(value, 1000, v) && v >= 1;
      version = ok;
    } else if (key == "mode") {
      ok = Whole(value, 3, r.mode) && r.mode >= 1;
      mode = ok;
    } else if (key == "outcome") {
      ok = outcome = NameToEnum(value, kEnds, r.end);
    } else if (key == "stage") {
      ok = NameToEnum(value, kStages, r.stage);
    } else if (key == "code") {
      ok = Whole(value, 0xFFFFFFFFu, r.code);
    } else if (key == "release") {
      ok = Whole(value, kMaxReleaseNumber, r.release);
    } else if (key == "content") {
      ok = IsHex8(value);
      if (ok) r.content = std::string(value);
    } else if (key == "before") {
      ok = Whole(value, kMaxReleaseNumber, r.before);
    } else if (key == "rollout") {
      ok = Whole(value, 100, r.stagePercent);
    } else if (key == "ms") {
      ok = Whole(value, 0xFFFFFFFFu, r.durationMs);
    } else {
      WayCount* ways[] = {&r.patch, &r.deflated, &r.whole, &r.kept};
      const char* names[] = {"patch", "deflated", "whole", "kept"};
      for (size_t i = 0; i < std::size(ways); ++i) {
        if (key == names[i]) ok = Whole(value, 1000u, ways[i]->modules);
        if (key.size() > 5 && key.substr(0, key.size() - 5) == names[i] && key.substr(key.size() - 5) == "bytes")
          ok = Whole(value, kMaxBytes, ways[i]->bytes);
      }
    }
    if (!ok) return std::nullopt;
  }
  if (!version || !mode || !outcome) return std::nullopt;
  return r;
}
