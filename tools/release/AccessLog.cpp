#include "AccessLog.h"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <memory>

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(std::string_view text, size_t at, size_t count, int& out) {
  if (at + count > text.size()) return false;
  int value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  out = value;
  return true;
}

// "10/Oct/2000:13:55:36 -0700" as seconds since 1970, UTC.
bool ParseLogTime(std::string_view t, int64_t& out) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int day, year, hour, minute, second, zone;
  if (t.size() != 26 || t[2] != '/' || t[6] != '/' || t[11] != ':' || t[14] != ':' || t[17] != ':' || t[20] != ' ')
    return false;
  if (!Digits(t, 0, 2, day) || !Digits(t, 7, 4, year) || !Digits(t, 12, 2, hour) || !Digits(t, 15, 2, minute) ||
      !Digits(t, 18, 2, second) || !Digits(t, 22, 4, zone) || (t[21] != '+' && t[21] != '-'))
    return false;
  const std::string_view month = t.substr(3, 3);
  int m = 0;
  while (m < 12 && std::string_view(kMonths + 3 * m, 3) != month) ++m;
  if (m == 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
  const int offset = (zone / 100 * 3600 + zone % 100 * 60) * (t[21] == '-' ? -1 : 1);
  out = DaysFromCivil(year, static_cast<unsigned>(m + 1), static_cast<unsigned>(day)) * 86400 + hour * 3600 +
        minute * 60 + second - offset;
  return true;
}

}  // namespace

int64_t SlotStart(int64_t time, int64_t width) {
  const int64_t r = time % width;
  return time - (r < 0 ? r + width : r);
}

bool ParseAccessLine(std::string_view line, AccessLine& out) {
  // host ident user [time] "request" status bytes ["referer" "agent"]
  const size_t open = line.find(" [");
  if (open == std::string_view::npos || open == 0) return false;
  const size_t close = line.find(']', open);
  if (close == std::string_view::npos || !ParseLogTime(line.substr(open + 2, close - open - 2), out.time)) return false;
  if (line.substr(close, 3) != "] \"") return false;
  const size_t requestStart = close + 3;
  const size_t requestEnd = line.find("\" ", requestStart);
  if (requestEnd == std::string_view::npos) return false;
  const std::string_view request = line.substr(requestStart, requestEnd - requestStart);
  const size_t firstSpace = request.find(' ');
  if (firstSpace == std::string_view::npos || firstSpace == 0) return false;
  size_t targetEnd = request.rfind(' ');
  if (targetEnd == firstSpace) targetEnd = request.size();  // no protocol
  out.target = request.substr(firstSpace + 1, targetEnd - firstSpace - 1);
  if (out.target.empty()) return false;
  if (!Digits(line, requestEnd + 2, 3, out.status)) return false;
  const size_t after = requestEnd + 5;
  return after == line.size() || line[after] == ' ';
}

std::string ReleaseLabel(const OutcomeReport& report) {
  if (!report.content.empty()) return "content " + report.content;
  if (report.release >= 0) return "release " + std::to_string(report.release);
  return "no release checked";
}

std::vector<std::pair<const std::string*, const ReleaseTally*>> ByRuns(const ReportTally& tally) {
  std::vector<std::pair<const std::string*, const ReleaseTally*>> order;
  for (const auto& [label, release] : tally.releases) order.emplace_back(&label, &release);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.second->runs > b.second->runs; });
  return order;
}

std::string ReleaseTitle(const std::string& label, const ReleaseTally& r) {
  if (r.highestRelease < 0 || label.rfind("content ", 0) != 0) return label;
  if (r.lowestRelease == r.highestRelease) return "release " + std::to_string(r.highestRelease) + ", " + label;
  return "releases " + std::to_string(r.lowestRelease) + " to " + std::to_string(r.highestRelease) + ", " + label;
}

void ReleaseTally::Widen(int64_t seconds) {
  if (seconds <= slotSeconds) return;
  std::map<int64_t, SlotCounts> merged;
  for (const auto& [start, counts] : slots) {
    SlotCounts& into = merged[SlotStart(start, seconds)];
    for (size_t i = 0; i < counts.size(); ++i) into[i] += counts[i];
  }
  slots.swap(merged);
  slotSeconds = seconds;
}

void ReleaseTally::AddToSlot(int64_t time, const SlotCounts& counts) {
  SlotCounts& into = slots[SlotStart(time, slotSeconds)];
  for (size_t i = 0; i < counts.size(); ++i) into[i] += counts[i];
  if (slots.size() > kMaxTimeSlots && slotSeconds < kSlotWidths[std::size(kSlotWidths) - 1])
    Widen(*std::upper_bound(std::begin(kSlotWidths), std::end(kSlotWidths), slotSeconds));
}

void ReleaseTally::CountFailure(std::pair<int, uint32_t> kind, uint64_t count) {
  if (const auto it = failures.find(kind); it != failures.end())
    it->second += count;
  else if (failures.size() < kMaxFailureKinds)
    failures[kind] = count;
  else
    otherFailures += count;
}

void ReleaseTally::AddWays(const WayCount& p, const WayCount& d, const WayCount& w, const WayCount& k) {
  for (auto [into, from] : {std::pair{&patch, &p}, std::pair{&deflated, &d}, std::pair{&whole, &w}, std::pair{&kept, &k}}) {
    into->modules += from->modules;
    into->bytes += from->bytes;
  }
}

void ReleaseTally::Add(const OutcomeReport& report, int64_t time) {
  const int end = static_cast<int>(report.end);
  runs += 1;
  byEnd[end] += 1;
  byModeEnd[report.mode][end] += 1;
  first = std::min(first, time);
  last = std::max(last, time);
  SlotCounts counts{};
  counts[end] = 1;
  counts[kModeCounts + report.mode - 1] = 1;
  AddToSlot(time, counts);
  if (report.stagePercent >= 0 && report.stagePercent <= 100)
    (report.end == RunEnd::HeldBack ? heldBackAt : offeredAt)[report.stagePercent] += 1;
  if (report.stage != RunStage::None) CountFailure({static_cast<int>(report.stage), report.code}, 1);
  AddWays(report.patch, report.deflated, report.whole, report.kept);
  durationMsTotal += report.durationMs;
  if (report.release >= 0) {
    lowestRelease = std::min(lowestRelease, report.release);
    highestRelease = std::max(highestRelease, report.release);
  }
}

void ReleaseTally::Merge(const ReleaseTally& other) {
  runs += other.runs;
  for (int e = 0; e < kRunEnds; ++e) {
    byEnd[e] += other.byEnd[e];
    for (size_t m = 0; m < byModeEnd.size(); ++m) byModeEnd[m][e] += other.byModeEnd[m][e];
  }
  Widen(other.slotSeconds);
  for (const auto& [start, counts] : other.slots) AddToSlot(start, counts);
  first = std::min(first, other.first);
  last = std::max(last, other.last);
  for (size_t p = 0; p < offeredAt.size(); ++p) {
    offeredAt[p] += other.offeredAt[p];
    heldBackAt[p] += other.heldBackAt[p];
  }
  for (const auto& [key, count] : other.failures) CountFailure(key, count);
  otherFailures += other.otherFailures;
  AddWays(other.patch, other.deflated, other.whole, other.kept);
  durationMsTotal += other.durationMsTotal;
  lowestRelease = std::min(lowestRelease, other.lowestRelease);
  highestRelease = std::max(highestRelease, other.highestRelease);
}

uint64_t ReleaseTally::StagedRuns() const {
  uint64_t n = 0;
  for (size_t p = 0; p < offeredAt.size(); ++p) n += offeredAt[p] + heldBackAt[p];
  return n;
}

int ReleaseTally::HighestStage() const {
  for (int p = 100; p >= 0; --p)
    if (offeredAt[p] || heldBackAt[p]) return p;
  return -1;
}

void ReportTally::AddLine(std::string_view line) {
  lines += 1;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  AccessLine access;
  if (!ParseAccessLine(line, access)) {
    malformed += 1;
    return;
  }
  const size_t question = access.target.find('?');
  const std::string_view path = access.target.substr(0, question);
  const size_t slash = path.rfind('/');
  if (path.substr(slash == std::string_view::npos ? 0 : slash + 1) != kReportFileName) return;
  reports += 1;
  const std::optional<OutcomeReport> report =
      question == std::string_view::npos ? std::nullopt : OutcomeReport::FromQuery(access.target.substr(question + 1));
  if (!report) {
    unreadable += 1;
    return;
  }
  const std::string label = ReleaseLabel(*report);
  if (const auto it = releases.find(label); it != releases.end()) {
    it->second.Add(*report, access.time);
    return;
  }
  // A full table makes room by runs: the release with the fewest joins
  // "other releases", so forged lines that came first cannot keep a real
  // release out of the table.
  if (releases.size() >= kMaxReleases) {
    auto fewest = releases.end();
    for (auto it = releases.begin(); it != releases.end(); ++it)
      if (it->first != kOtherReleases &&
          (fewest == releases.end() || std::make_pair(it->second.runs, it->second.since) <
                                           std::make_pair(fewest->second.runs, fewest->second.since)))
        fewest = it;
    ReleaseTally& other = releases[kOtherReleases];
    if (fewest != releases.end()) {
      other.Merge(fewest->second);
      releases.erase(fewest);
    }
  }
  ReleaseTally& release = releases[label];
  release.since = ++labelsAdded;  // of two with as few runs, the one there longer goes
  release.Add(*report, access.time);
}

bool ReportTally::AddFile(const std::string& path, std::string& error) {
  // zlib reads a plain file as it is and a gzip-compressed one inflated.
  const std::unique_ptr<gzFile_s, int (*)(gzFile)> in(gzopen(path.c_str(), "rb"), gzclose_r);
  if (!in) {
    error = path + ": cannot be opened";
    return false;
  }
  gzbuffer(in.get(), 1 << 18);
  files += 1;
  // Lines longer than this are no log lines: skipped as malformed, never held whole.
  constexpr size_t kMaxLine = 64 * 1024;
  std::vector<char> buffer(1 << 20);
  std::string carry;
  bool skipping = false;
  for (;;) {
    const int n = gzread(in.get(), buffer.data(), static_cast<unsigned>(buffer.size()));
    if (n < 0) {
      int code = 0;
      error = path + ": " + gzerror(in.get(), &code);
      return false;
    }
    if (n == 0) break;
    std::string_view chunk(buffer.data(), static_cast<size_t>(n));
    while (!chunk.empty()) {
      const size_t newline = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, newline);
      if (skipping) {
        if (newline != std::string_view::npos) skipping = false;
      } else if (newline != std::string_view::npos && carry.empty()) {
        AddLine(piece);
      } else if (carry.size() + piece.size() > kMaxLine) {
        lines += 1;
        malformed += 1;
        carry.clear();
        skipping = newline == std::string_view::npos;
      } else {
        carry.append(piece);
        if (newline != std::string_view::npos) {
          AddLine(carry);
          carry.clear();
        }
      }
      chunk = newline == std::string_view::npos ? std::string_view() : chunk.substr(newline + 1);
    }
  }
  if (!carry.empty()) AddLine(carry);
  return true;
}
