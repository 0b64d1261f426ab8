#include "ReportPage.h"

#include "engine/run/RunAccounting.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <iterator>

namespace {

constexpr const char* kColours[kRunEnds] = {"#2e7d32", "#66bb6a", "#90a4ae", "#fbc02d", "#8e24aa",
                                            "#d32f2f", "#5c6bc0", "#ff7043", "#6d4c41", "#26c6da",
                                            "#000000"};
constexpr const char* kModeColours[3] = {"#283593", "#00838f", "#9e9d24"};
constexpr const char* kModeNames[3] = {"mode 1 (optional)", "mode 2 (mandatory)", "mode 3 (background)"};
constexpr int kMaxBars = 48;
// The rollout's strip, in colours of its own (not the outcomes').
constexpr const char* kReached = "#1b5e20";
constexpr const char* kOnlyHeldBack = "#e65100";

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

std::string Time(int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return text;
}

std::string Bytes(uint64_t n) {
  if (n >= 10ULL << 30) return Format("%.1f GB", static_cast<double>(n) / (1 << 30));
  if (n >= 10ULL << 20) return Format("%.1f MB", static_cast<double>(n) / (1 << 20));
  if (n >= 10ULL << 10) return Format("%.1f KB", static_cast<double>(n) / (1 << 10));
  return Format("%" PRIu64 " bytes", n);
}

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string CodeText(uint32_t code) {
  // The download library's codes (fetchkit/HttpDownload.h, a Windows header)
  // carry an HTTP status above 1000; the updater's own start at 900.
  if (code >= 1000 && code < 1600) return Format("%u (HTTP %u)", code, code - 1000);
  static const std::pair<uint32_t, const char*> kNames[] = {
      {kResultNoDownloadObject, "no download object"}, {4, "no network"},         {5, "no connection"},     {6, "timed out"},
      {7, "connection lost"},    {8, "incomplete"},         {9, "too many redirects"}, {10, "local file"},
      {11, "protocol error"},    {12, "internal error"},    {13, "TLS"},              {14, "too large"},
      {15, "too slow"},          {16, "insecure redirect"}, {17, "encoded body"},     {18, "headers too large"},
      {19, "disk full"},
      {kResultFingerprintMismatch, "not the release's bytes"}, {kResultNotStored, "not stored"},
      {kResultNotAManifest, "not a manifest"}, {kResultNotTrusted, "not trusted"}, {kResultStaleEntry, "stale cache"},
      {kResultUnwritable, "folder not writable"}, {kResultNotInstalled, "not installed"},
      {kResultNotRecovered, "not recovered"}};
  for (const auto& [number, name] : kNames)
    if (number == code) return Format("%u (%s)", code, name);
  return std::to_string(code);
}

// Failures ranked, most frequent first.
std::vector<std::pair<std::pair<int, uint32_t>, uint64_t>> Ranked(const ReleaseTally& r) {
  std::vector<std::pair<std::pair<int, uint32_t>, uint64_t>> ranked(r.failures.begin(), r.failures.end());
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  return ranked;
}

std::string RolloutText(const ReleaseTally& r) {
  if (r.StagedRuns() == 0) return "no run found a stage (no staged rollout)";
  std::string text = "by stage:";
  for (int p = 0; p <= 100; ++p)
    if (r.offeredAt[p] || r.heldBackAt[p])
      text += Format(" %d %% offered %llu, held back %llu;", p, static_cast<unsigned long long>(r.offeredAt[p]),
                     static_cast<unsigned long long>(r.heldBackAt[p]));
  return text + Format(" the highest stage %d %%", r.HighestStage());
}

// The runs by end over time, at most kMaxBars bars from the first run to the last.
struct Bars {
  int64_t start = 0, width = 60;
  std::vector<SlotCounts> counts;
};
Bars BarsOf(const ReleaseTally& r) {
  Bars bars;
  if (r.slots.empty()) return bars;
  const int64_t first = r.slots.begin()->first, last = r.slots.rbegin()->first;
  bars.width = r.slotSeconds;
  for (int64_t w : kSlotWidths)
    if (w >= r.slotSeconds) {
      bars.width = w;
      if ((last - first) / w < kMaxBars) break;
    }
  bars.start = SlotStart(first, bars.width);
  bars.counts.resize(static_cast<size_t>((SlotStart(last, bars.width) - bars.start) / bars.width + 1));
  for (const auto& [start, counts] : r.slots) {
    SlotCounts& into = bars.counts[static_cast<size_t>((SlotStart(start, bars.width) - bars.start) / bars.width)];
    for (size_t i = 0; i < counts.size(); ++i) into[i] += counts[i];
  }
  return bars;
}

std::string WidthText(int64_t seconds) {
  if (seconds % 86400 == 0) return Format("%" PRId64 " day%s", seconds / 86400, seconds == 86400 ? "" : "s");
  if (seconds % 3600 == 0) return Format("%" PRId64 " hour%s", seconds / 3600, seconds == 3600 ? "" : "s");
  return Format("%" PRId64 " minute%s", seconds / 60, seconds == 60 ? "" : "s");
}

// Stacked bars of the counts [from, from + n) of each slot, in `colours`, named `names`.
std::string Chart(const Bars& bars, int from, int n, const char* const* colours, const char* const* names, int height) {
  if (bars.counts.empty()) return {};
  uint64_t top = 1;
  for (const auto& c : bars.counts) {
    uint64_t sum = 0;
    for (int i = from; i < from + n; ++i) sum += c[i];
    top = std::max(top, sum);
  }
  const int left = 48, bottom = 24, barSlot = 800 / std::max<int>(static_cast<int>(bars.counts.size()), 8);
  const int width = left + barSlot * static_cast<int>(bars.counts.size()) + 10;
  std::string svg = Format("<svg class=\"chart\" width=\"%d\" height=\"%d\" role=\"img\" aria-label=\"runs over time\">", width,
                           height + bottom + 8);
  svg += Format("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#999\"/>", left, height, width - 5, height);
  svg += Format("<text x=\"%d\" y=\"12\" class=\"axis\" text-anchor=\"end\">%" PRIu64 "</text>", left - 6, top);
  svg += Format("<text x=\"%d\" y=\"%d\" class=\"axis\" text-anchor=\"end\">0</text>", left - 6, height);
  for (size_t i = 0; i < bars.counts.size(); ++i) {
    double y = height;
    const int x = left + static_cast<int>(i) * barSlot + 1;
    for (int e = 0; e < n; ++e) {
      const uint64_t count = bars.counts[i][from + e];
      if (!count) continue;
      // Every kind that happened stays visible, however few its runs.
      const double h = std::max(2.0, static_cast<double>(count) * (height - 16) / static_cast<double>(top));
      y -= h;
      svg += Format("<rect x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%.1f\" fill=\"%s\"><title>%s: %" PRIu64 "</title></rect>",
                    x, y, std::max(barSlot - 2, 1), h, colours[e], names[e], count);
    }
  }
  const int64_t end = bars.start + bars.width * static_cast<int64_t>(bars.counts.size());
  svg += Format("<text x=\"%d\" y=\"%d\" class=\"axis\">%s</text>", left, height + 16, Time(bars.start).c_str());
  svg += Format("<text x=\"%d\" y=\"%d\" class=\"axis\" text-anchor=\"end\">%s UTC, bars of %s</text>", width - 5,
                height + 16, Time(end).c_str(), WidthText(bars.width).c_str());
  return svg + "</svg>";
}

std::string ModeLegend() {
  std::string html = "<p class=\"legend\">";
  for (int m = 0; m < 3; ++m)
    html += Format("<span class=\"item\"><span class=\"key\" style=\"background:%s\"></span>%s</span>", kModeColours[m],
                   kModeNames[m]);
  return html + "</p>\n";
}

std::string StageStrip(const ReleaseTally& r) {
  // The share of installations the release reached (below the highest stage
  // reported), the share a stage seen still held back, the rest.
  const int highest = r.HighestStage();
  int lowestHeld = 101;
  for (int p = 0; p <= 100; ++p)
    if (r.heldBackAt[p] && p < lowestHeld) lowestHeld = p;
  std::string svg = "<svg class=\"buckets\" width=\"604\" height=\"16\" role=\"img\" aria-label=\"stages\">";
  for (int b = 0; b < 100; ++b) {
    const char* fill = b < highest ? kReached : b >= lowestHeld ? kOnlyHeldBack : "#eceff1";
    svg += Format("<rect x=\"%d\" y=\"2\" width=\"5\" height=\"12\" fill=\"%s\"><title>%d %%</title></rect>", b * 6 + 2,
                  fill, b + 1);
  }
  return svg + Format("</svg><p class=\"muted\"><span class=\"key\" style=\"background:%s\"></span>reached &nbsp; "
                      "<span class=\"key\" style=\"background:%s\"></span>held back &nbsp; "
                      "<span class=\"key\" style=\"background:#eceff1\"></span>no stage reported</p>", kReached, kOnlyHeldBack);
}

std::string WayBar(const ReleaseTally& r) {
  const uint64_t total = r.patch.bytes + r.deflated.bytes + r.whole.bytes;
  if (!total) return "<p class=\"muted\">No module was fetched.</p>";
  std::string html = "<div class=\"waybar\">";
  const std::pair<const char*, const WayCount*> ways[] = {{"patches", &r.patch}, {"deflated", &r.deflated}, {"whole files", &r.whole}};
  const char* colours[] = {"#1565c0", "#64b5f6", "#b0bec5"};
  for (size_t i = 0; i < std::size(ways); ++i)
    if (ways[i].second->bytes)
      html += Format("<span style=\"width:%.2f%%;background:%s\" title=\"%s\"></span>",
                     100.0 * static_cast<double>(ways[i].second->bytes) / static_cast<double>(total), colours[i], ways[i].first);
  html += "</div><p>";
  for (size_t i = 0; i < std::size(ways); ++i)
    html += Format("<span class=\"key\" style=\"background:%s\"></span>%s: %u modules, %s &nbsp; ", colours[i],
                   ways[i].first, ways[i].second->modules, Bytes(ways[i].second->bytes).c_str());
  return html + Format("kept from an earlier run: %u modules</p>", r.kept.modules);
}

}  // namespace

const char* RunEndColour(RunEnd end) { return kColours[static_cast<int>(end)]; }

std::string ReportText(const ReportTally& tally) {
  std::string out = Format("%" PRIu64 " log file(s), %" PRIu64 " lines: %" PRIu64 " outcome reports (%" PRIu64
                           " unreadable), %" PRIu64 " malformed lines skipped\n",
                           tally.files, tally.lines, tally.reports, tally.unreadable, tally.malformed);
  for (const auto& [label, release] : ByRuns(tally)) {
    const ReleaseTally& r = *release;
    out += Format("\n%s: %" PRIu64 " run%s, %s to %s UTC\n", ReleaseTitle(*label, r).c_str(), r.runs, r.runs == 1 ? "" : "s",
                  Time(r.first).c_str(), Time(r.last).c_str());
    out += Format("  %-10s %8s %8s %8s %8s\n", "outcome", "mode 1", "mode 2", "mode 3", "all");
    for (int e = 0; e < kRunEnds; ++e) {
      if (!r.byEnd[e]) continue;
      out += Format("  %-10s %8" PRIu64 " %8" PRIu64 " %8" PRIu64 " %8" PRIu64 "\n", RunEndName(static_cast<RunEnd>(e)),
                    r.byModeEnd[1][e], r.byModeEnd[2][e], r.byModeEnd[3][e], r.byEnd[e]);
    }
    out += "  rollout:  " + RolloutText(r) + "\n";
    out += Format("  bytes:    patches %u modules %s; deflated %u modules %s; whole %u modules %s; kept %u modules\n",
                  r.patch.modules, Bytes(r.patch.bytes).c_str(), r.deflated.modules, Bytes(r.deflated.bytes).c_str(),
                  r.whole.modules, Bytes(r.whole.bytes).c_str(), r.kept.modules);
    for (const auto& [key, n] : Ranked(r))
      out += Format("  error:    %-9s code %-30s %" PRIu64 " run%s\n", RunStageName(static_cast<RunStage>(key.first)),
                    CodeText(key.second).c_str(), n, n == 1 ? "" : "s");
    if (r.otherFailures)
      out += Format("  error:    other kinds %30s %" PRIu64 " run%s\n", "", r.otherFailures, r.otherFailures == 1 ? "" : "s");
  }
  return out;
}

std::string ReportHtml(const ReportTally& tally, const std::vector<std::string>& logs, int64_t generatedAt) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Velnoria updater: outcome reports</title>\n"
      "<style>\n"
      "body{font:14px/1.45 system-ui,sans-serif;margin:24px 32px;color:#212121;max-width:1100px}\n"
      "h1{font-size:22px;margin:0 0 4px}h2{font-size:18px;margin:28px 0 4px;border-top:1px solid #ddd;padding-top:16px}\n"
      "h3{font-size:14px;margin:14px 0 6px;color:#455a64}.muted{color:#78909c}\n"
      "table{border-collapse:collapse;margin:4px 0}td,th{padding:3px 12px;text-align:right;border-bottom:1px solid #eee}\n"
      "th:first-child,td:first-child{text-align:left}.key{display:inline-block;width:11px;height:11px;margin:0 5px 0 0;"
      "vertical-align:-1px;border-radius:2px}\n"
      ".legend span.item{margin-right:14px;white-space:nowrap}.axis{font-size:11px;fill:#607d8b}\n"
      ".waybar{display:flex;width:600px;height:16px;border-radius:3px;overflow:hidden;background:#eceff1}\n"
      ".waybar span{display:block;height:100%}\n"
      "</style></head><body>\n<h1>Velnoria updater: outcome reports</h1>\n";
  html += Format("<p class=\"muted\">Made %s UTC from %" PRIu64 " log file(s), %" PRIu64 " lines: %" PRIu64
                 " outcome reports, %" PRIu64 " unreadable, %" PRIu64 " malformed lines skipped.</p>\n",
                 Time(generatedAt).c_str(), tally.files, tally.lines, tally.reports, tally.unreadable, tally.malformed);
  if (!logs.empty()) {
    html += "<p class=\"muted\">Logs:";
    for (const std::string& log : logs) html += " " + Escape(log);
    html += "</p>\n";
  }
  if (tally.releases.empty()) html += "<p><b>No outcome report in these logs.</b></p>\n";
  html += "<p class=\"legend\">";
  for (int e = 0; e < kRunEnds; ++e)
    html += Format("<span class=\"item\"><span class=\"key\" style=\"background:%s\"></span>%s</span>", kColours[e],
                   RunEndName(static_cast<RunEnd>(e)));
  html += "</p>\n";
  for (const auto& [label, release] : ByRuns(tally)) {
    const ReleaseTally& r = *release;
    html += "<section>\n<h2>" + Escape(ReleaseTitle(*label, r)) + Format(" <span class=\"muted\">%" PRIu64 " runs, %s to %s UTC</span></h2>\n",
                                                        r.runs, Time(r.first).c_str(), Time(r.last).c_str());
    const Bars bars = BarsOf(r);
    const char* endNames[kRunEnds];
    for (int e = 0; e < kRunEnds; ++e) endNames[e] = RunEndName(static_cast<RunEnd>(e));
    html += "<h3>Runs by outcome over time</h3>\n" + Chart(bars, 0, kRunEnds, kColours, endNames, 180) + "\n";
    html += "<h3>Runs by mode over time</h3>\n" + Chart(bars, kModeCounts, 3, kModeColours, kModeNames, 90) + "\n" + ModeLegend();
    html += "<h3>Runs by outcome and mode</h3>\n<table><tr><th>outcome</th><th>mode 1</th><th>mode 2</th><th>mode 3</th><th>all</th></tr>\n";
    for (int e = 0; e < kRunEnds; ++e) {
      if (!r.byEnd[e]) continue;
      html += Format("<tr><td><span class=\"key\" style=\"background:%s\"></span>%s</td><td>%" PRIu64 "</td><td>%" PRIu64
                     "</td><td>%" PRIu64 "</td><td><b>%" PRIu64 "</b></td></tr>\n",
                     kColours[e], RunEndName(static_cast<RunEnd>(e)), r.byModeEnd[1][e], r.byModeEnd[2][e], r.byModeEnd[3][e],
                     r.byEnd[e]);
    }
    html += "</table>\n<h3>Rollout</h3>\n<p>" + RolloutText(r) + "</p>\n" + StageStrip(r) + "\n";
    html += "<h3>First errors, most frequent first <span class=\"muted\">(a run may still have ended well after a retry)</span></h3>\n";
    const auto ranked = Ranked(r);
    if (ranked.empty() && !r.otherFailures) {
      html += "<p class=\"muted\">None.</p>\n";
    } else {
      html += "<table><tr><th>stage</th><th>code</th><th>runs</th></tr>\n";
      for (const auto& [key, n] : ranked)
        html += Format("<tr><td>%s</td><td>%s</td><td>%" PRIu64 "</td></tr>\n", RunStageName(static_cast<RunStage>(key.first)),
                       CodeText(key.second).c_str(), n);
      if (r.otherFailures) html += Format("<tr><td>other kinds</td><td></td><td>%" PRIu64 "</td></tr>\n", r.otherFailures);
      html += "</table>\n";
    }
    html += "<h3>Bytes delivered</h3>\n" + WayBar(r) + "\n</section>\n";
  }
  return html + "</body></html>\n";
}
