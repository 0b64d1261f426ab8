// Decisions of a download that need no network: what a response means for a
// file already at the local path, how often progress is reported, and where
// a redirect leads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace fetchkit {

// "bytes first-last/total" or "bytes */total"; total is -1 when given as "*".
struct ContentRange {
  int64_t first = -1;  // -1 for the "*/total" form
  int64_t last = -1;
  int64_t total = -1;
};
std::optional<ContentRange> ParseContentRange(const std::string& value);

enum class ResponsePlan {
  WriteFromStart,   // body is the whole file: truncate and write
  Append,           // body continues the local file
  AlreadyComplete,  // the local file is already the whole file
  RequestAgain,     // inconsistent with the local file: start over without a range
  Redirect,         // follow the Location header
  HttpError,        // an error status: nothing is written
};

struct ResponseFacts {
  int status = 0;
  int64_t localSize = 0;    // bytes at the local path when a range was asked for, else 0
  bool rangeRequested = false;
  std::optional<ContentRange> contentRange;
  bool hasLocation = false;
};
ResponsePlan PlanResponse(const ResponseFacts& facts);

// Reports at most every `minBytes` and `minMillis` (whichever comes later);
// the first report and the last one always go out.
class ProgressThrottle {
 public:
  ProgressThrottle(uint64_t minBytes, uint32_t minMillis) : minBytes_(minBytes), minMillis_(minMillis) {}
  bool ShouldReport(uint64_t received, uint32_t nowMillis);
  void Reported(uint64_t received, uint32_t nowMillis);

 private:
  uint64_t minBytes_;
  uint32_t minMillis_;
  bool any_ = false;
  uint64_t lastBytes_ = 0;
  uint32_t lastMillis_ = 0;
};

// The absolute URL of a Location header relative to the request's URL.
std::string ResolveRedirect(const std::string& base, const std::string& location);

// A redirect that would take an https request to plain http.
bool IsDowngrade(const std::string& from, const std::string& to);

// What a resumed request may send as If-Range: a strong entity tag, else the
// Last-Modified date; empty when the response gave neither (weak tags cannot
// validate a byte range).
std::string RangeValidator(const std::string& etag, const std::string& lastModified);

// A transfer that makes no real progress: fewer than `minBytes` arrived in a
// window of `windowMillis`. A server that drips a byte now and then keeps the
// inactivity time-out from tripping; this ends it.
class StallGuard {
 public:
  StallGuard(uint32_t windowMillis, uint64_t minBytes, uint64_t received, uint32_t nowMillis)
      : windowMillis_(windowMillis), minBytes_(minBytes), windowBytes_(received), windowStart_(nowMillis) {}
  // True when the window that has just run out saw too few bytes.
  bool Stalled(uint64_t received, uint32_t nowMillis);

 private:
  uint32_t windowMillis_;
  uint64_t minBytes_;
  uint64_t windowBytes_;
  uint32_t windowStart_;
};

// The size of the next read of a body. A read waits until it is full (or the
// body ends), and what it holds is seen only then: a read is made larger only
// when the last one was full and came within 50 ms, and smaller when it took
// longer than 200 ms. A read is so never much longer than the link's pace
// allows. Sizes stay between `floor` and `ceiling`.
uint32_t NextReadSize(uint32_t current, uint32_t got, uint32_t tookMillis, uint32_t floor, uint32_t ceiling);

}  // namespace fetchkit
