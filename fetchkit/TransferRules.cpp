#include "fetchkit/TransferRules.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace fetchkit {

namespace {

bool ParseNumber(const std::string& text, size_t& pos, int64_t& out) {
  const size_t start = pos;
  int64_t value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (value > (INT64_MAX - 9) / 10) return false;
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  out = value;
  return pos > start;
}

void SkipBlanks(const std::string& text, size_t& pos) {
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
}

}  // namespace

std::optional<ContentRange> ParseContentRange(const std::string& value) {
  size_t pos = 0;
  SkipBlanks(value, pos);
  if (value.compare(pos, 5, "bytes") != 0) return std::nullopt;
  pos += 5;
  SkipBlanks(value, pos);
  ContentRange range;
  if (pos < value.size() && value[pos] == '*') {
    ++pos;
  } else {
    if (!ParseNumber(value, pos, range.first) || pos >= value.size() || value[pos] != '-') return std::nullopt;
    ++pos;
    if (!ParseNumber(value, pos, range.last) || range.last < range.first) return std::nullopt;
  }
  if (pos >= value.size() || value[pos] != '/') return std::nullopt;
  ++pos;
  if (pos < value.size() && value[pos] == '*') {
    ++pos;
  } else if (!ParseNumber(value, pos, range.total)) {
    return std::nullopt;
  }
  SkipBlanks(value, pos);
  if (pos != value.size()) return std::nullopt;
  if (range.first < 0 && range.total < 0) return std::nullopt;  // "*/*"
  if (range.total >= 0 && range.last >= range.total) return std::nullopt;
  return range;
}

ResponsePlan PlanResponse(const ResponseFacts& facts) {
  const int status = facts.status;
  if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308)
    return facts.hasLocation ? ResponsePlan::Redirect : ResponsePlan::HttpError;
  if (status == 200) return ResponsePlan::WriteFromStart;
  if (status == 206) {
    // Only a range that starts where the local file ends and runs to the end
    // of a known whole continues the file; anything else is not trusted.
    const auto& range = facts.contentRange;
    if (facts.rangeRequested && range && range->first == facts.localSize && range->total > 0 &&
        range->last == range->total - 1)
      return ResponsePlan::Append;
    return ResponsePlan::RequestAgain;
  }
  if (status == 416 && facts.rangeRequested) {
    if (facts.contentRange && facts.contentRange->first < 0 && facts.contentRange->total == facts.localSize)
      return ResponsePlan::AlreadyComplete;
    return ResponsePlan::RequestAgain;
  }
  return ResponsePlan::HttpError;
}

bool ProgressThrottle::ShouldReport(uint64_t received, uint32_t nowMillis) {
  if (!any_) return true;
  return received - lastBytes_ >= minBytes_ && nowMillis - lastMillis_ >= minMillis_;
}

void ProgressThrottle::Reported(uint64_t received, uint32_t nowMillis) {
  any_ = true;
  lastBytes_ = received;
  lastMillis_ = nowMillis;
}

std::string ResolveRedirect(const std::string& base, const std::string& location) {
  const auto scheme = location.find("://");
  if (scheme != std::string::npos && location.find_first_of("/?#") > scheme) return location;
  const auto baseScheme = base.find("://");
  if (baseScheme == std::string::npos) return location;
  if (location.rfind("//", 0) == 0) return base.substr(0, baseScheme + 1) + location;
  const auto pathStart = base.find('/', baseScheme + 3);
  const std::string origin = pathStart == std::string::npos ? base : base.substr(0, pathStart);
  if (!location.empty() && location[0] == '/') return origin + location;
  // Relative to the base's folder (query and fragment left out).
  std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
  path = path.substr(0, path.find_first_of("?#"));
  path = path.substr(0, path.rfind('/') + 1);
  return origin + path + location;
}

bool IsDowngrade(const std::string& from, const std::string& to) {
  auto scheme = [](const std::string& url) {
    std::string s = url.substr(0, url.find("://"));
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  return scheme(from) == "https" && scheme(to) != "https";
}

std::string RangeValidator(const std::string& etag, const std::string& lastModified) {
  if (!etag.empty() && etag.rfind("W/", 0) != 0) return etag;
  return lastModified;
}

bool StallGuard::Stalled(uint64_t received, uint32_t nowMillis) {
  if (nowMillis - windowStart_ < windowMillis_) return false;
  if (received - windowBytes_ < minBytes_) return true;
  windowBytes_ = received;
  windowStart_ = nowMillis;
  return false;
}

uint32_t NextReadSize(uint32_t current, uint32_t got, uint32_t tookMillis, uint32_t floor, uint32_t ceiling) {
  constexpr uint32_t kFastMillis = 50, kSlowMillis = 200;
  uint32_t next = current;
  // Only a full read says how fast the link is.
  if (got >= current && tookMillis <= kFastMillis && current < ceiling) next = current * 2;
  if (tookMillis > kSlowMillis) next = current / 2;
  return std::min(std::max(next, floor), ceiling);
}

}  // namespace fetchkit
