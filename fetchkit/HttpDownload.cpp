#include "fetchkit/HttpDownload.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "fetchkit/BodyReader.h"
#include "fetchkit/HttpFacts.h"
#include "fetchkit/LeavableCall.h"
#include "fetchkit/TransferRules.h"
#include "framework/ScopedInternet.h"
#include "framework/Text.h"

namespace {

using namespace fetchkit;

constexpr int kMaxRedirects = 10;
// Progress goes out whenever new bytes arrived, at most every 200 ms.
constexpr uint64_t kProgressBytes = 1;
constexpr uint32_t kProgressMillis = 200;
constexpr int64_t kDefaultMaxBytes = 0x7FFFFFFF;
constexpr DWORD kMaxHeaderBytes = 64 * 1024;
// Real progress: at least 16 KB in every 25 s. With the 30 s inactivity
// time-out a dripping server is cut off within about 55 s.
constexpr uint32_t kStallWindowMs = 25000;
constexpr uint64_t kStallMinBytes = 16 * 1024;
constexpr DWORD kHeaderLimitMs = 60000;

std::atomic<uint32_t> g_lastTransferId{0};

void SetTimeoutOptions(HINTERNET handle, DWORD connectMs, DWORD inactivityMs) {
  ::InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
  ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &inactivityMs, sizeof inactivityMs);
  ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &inactivityMs, sizeof inactivityMs);
}

// One HTTP exchange: the connection, the request and what its headers say.
struct Exchange {
  fw::ScopedInternet connection;
  fw::ScopedInternet request;
  int status = 0;
  int64_t contentLength = -1;
  std::optional<ContentRange> contentRange;
  std::string location;
  std::string contentEncoding;
  bool chunked = false;
  std::string validator;  // of the entity this response carries
  DWORD headerBytes = 0;
};

class Transfer final : public CHttpDownload {
 public:
  Transfer() { DefaultTimeouts(connectMs_, inactivityMs_); }

  void SetNotifyWnd(HWND wnd, UINT message, int connectTimeoutMs, int inactivityTimeoutMs, int,
                    int reportProgress) override {
    notifyWnd_ = wnd;
    notifyMessage_ = message;
    reportProgress_ = reportProgress != 0;
    SetTimeouts(connectTimeoutMs, inactivityTimeoutMs);
  }

  void SetTimeouts(int connectTimeoutMs, int inactivityTimeoutMs) override {
    if (connectTimeoutMs > 0) connectMs_ = static_cast<DWORD>(connectTimeoutMs);
    if (inactivityTimeoutMs > 0) inactivityMs_ = static_cast<DWORD>(inactivityTimeoutMs);
  }

  void SetReceiver(FkReceiver* receiver) override { receiver_ = receiver; }

  void SetLimits(int64_t maxBytes, int deadlineMs) override {
    maxBytes_ = maxBytes > 0 && maxBytes < kDefaultMaxBytes ? maxBytes : kDefaultMaxBytes;
    deadlineMs_ = deadlineMs > 0 ? static_cast<DWORD>(deadlineMs) : 0;
  }

  unsigned Download(const char* url, const char* localPath, int flags) override {
    if (!localPath) return FK_BAD_ARGUMENT;
    try {
      return DownloadW(url, fw::Widen(localPath, CP_ACP).c_str(), flags);
    } catch (...) {
      return FK_INTERNAL_ERROR;
    }
  }

  unsigned DownloadW(const char* url, const wchar_t* localPath, int flags) override {
    try {
      revalidate_ = (flags & FK_REVALIDATE) != 0;
      return Run(url, localPath, (flags & FK_FETCH_WHOLE) == 0);
    } catch (...) {
      return FK_INTERNAL_ERROR;
    }
  }

 private:
  unsigned Run(const char* url, const wchar_t* path, bool mayResume);
  bool revalidate_ = false;
  unsigned Open(HINTERNET session, const std::string& url, int64_t rangeFrom, const std::string& validator,
                Exchange& exchange);
  unsigned Receive(HINTERNET session, Exchange& exchange, const wchar_t* path, bool append, int64_t offset,
                   int64_t total);
  void Report(int64_t total, int64_t received);
  // A call left behind owns the request, the connection and the session now.
  void HandOver(Exchange& exchange) {
    exchange.request.release();
    exchange.connection.release();
    sessionAbandoned_ = true;
  }
  bool PastDeadline() const { return deadlineMs_ && ::GetTickCount() - started_ > deadlineMs_; }

  HWND notifyWnd_ = nullptr;
  UINT notifyMessage_ = 0;
  bool reportProgress_ = false;
  DWORD connectMs_ = 0;
  DWORD inactivityMs_ = 0;
  int64_t maxBytes_ = kDefaultMaxBytes;
  DWORD deadlineMs_ = 0;
  FkReceiver* receiver_ = nullptr;
  DWORD started_ = 0;
  bool sessionAbandoned_ = false;  // a header wait that was left behind owns the session
  uint32_t transferId_ = ++g_lastTransferId;
};

unsigned Transfer::Run(const char* url, const wchar_t* path, bool mayResume) {
  if (!url || !*url || !path || !*path) return FK_BAD_ARGUMENT;
  fw::ScopedInternet session(::InternetOpenA("Fetchkit/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return FK_NO_INTERNET;
  SetTimeoutOptions(session.get(), connectMs_, inactivityMs_);
  DWORD retries = 1;
  ::InternetSetOptionA(session.get(), INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof retries);

  started_ = ::GetTickCount();
  const std::wstring validatorPath = std::wstring(path) + FK_VALIDATOR_SUFFIX_W;
  if (!mayResume) ::DeleteFileW(validatorPath.c_str());
  std::string current = url;
  for (int redirects = 0;;) {
    // A partial file is continued only as the same entity it began as.
    const std::string validator = mayResume ? ReadValidator(validatorPath) : std::string();
    const int64_t localSize = validator.empty() ? 0 : LocalFileSize(path);
    Exchange exchange;
    if (const unsigned code = Open(session.get(), current, localSize, validator, exchange)) {
      if (sessionAbandoned_) session.release();
      return code;
    }
    if (exchange.headerBytes > kMaxHeaderBytes) return FK_HEADERS_TOO_LARGE;
    if (PastDeadline()) return FK_TOO_SLOW;
    ResponseFacts facts;
    facts.status = exchange.status;
    facts.localSize = localSize;
    facts.rangeRequested = localSize > 0;
    facts.contentRange = exchange.contentRange;
    facts.hasLocation = !exchange.location.empty();
    const ResponsePlan plan = PlanResponse(facts);
    switch (plan) {
      case ResponsePlan::Redirect: {
        if (++redirects > kMaxRedirects) return FK_TOO_MANY_REDIRECTS;
        const std::string next = fetchkit::ResolveRedirect(current, exchange.location);
        if (fetchkit::IsDowngrade(current, next)) return FK_INSECURE_REDIRECT;
        current = next;
        continue;
      }
      case ResponsePlan::HttpError:
        return FK_HTTP_STATUS_BASE + static_cast<unsigned>(exchange.status);
      case ResponsePlan::AlreadyComplete:
        ::DeleteFileW(validatorPath.c_str());
        Report(localSize, localSize);
        return FK_ALREADY_COMPLETE;
      case ResponsePlan::RequestAgain:
        if (!mayResume) return FK_PROTOCOL_ERROR;
        mayResume = false;
        continue;
      case ResponsePlan::WriteFromStart:
      case ResponsePlan::Append:
        break;
    }
    // A body that would be saved as something other than the file's bytes,
    // or whose end could not be told from a cut, is refused before a byte is written.
    if (!exchange.contentEncoding.empty() && !HasHeaderToken(exchange.contentEncoding, "identity"))
      return FK_ENCODED_BODY;
    if (exchange.chunked) return FK_PROTOCOL_ERROR;
    const bool append = plan == ResponsePlan::Append;
    const int64_t total = append ? exchange.contentRange->total : exchange.contentLength;
    if (total > maxBytes_) return FK_TOO_LARGE;
    if (!append) {
      // The validator of what this file begins as, so that a later call can resume it.
      if (mayResume && !exchange.validator.empty())
        WriteValidator(validatorPath, exchange.validator);
      else
        ::DeleteFileW(validatorPath.c_str());
    }
    const unsigned code = Receive(session.get(), exchange, path, append, append ? localSize : 0, total);
    if (sessionAbandoned_) session.release();
    if (code == FK_OK) ::DeleteFileW(validatorPath.c_str());
    if (code == FK_TOO_LARGE) {
      ::DeleteFileW(path);
      ::DeleteFileW(validatorPath.c_str());
    }
    return code;
  }
}

unsigned Transfer::Open(HINTERNET session, const std::string& url, int64_t rangeFrom, const std::string& validator,
                        Exchange& exchange) {
  URL_COMPONENTSA parts{};
  parts.dwStructSize = sizeof parts;
  std::vector<char> host(url.size() + 1), urlPath(url.size() + 1), extra(url.size() + 1);
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = static_cast<DWORD>(host.size());
  parts.lpszUrlPath = urlPath.data();
  parts.dwUrlPathLength = static_cast<DWORD>(urlPath.size());
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!::InternetCrackUrlA(url.c_str(), 0, 0, &parts)) return FK_BAD_ARGUMENT;
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return FK_BAD_ARGUMENT;
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;

  exchange.connection.reset(
      ::InternetConnectA(session, host.data(), parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!exchange.connection) return CodeOfWinInetError(::GetLastError());
  std::string object = std::string(urlPath.data()) + extra.data();
  if (object.empty()) object = "/";
  const char* accept[] = {"*/*", nullptr};
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                INTERNET_FLAG_KEEP_CONNECTION;
  if (secure) flags |= INTERNET_FLAG_SECURE;
  exchange.request.reset(
      ::HttpOpenRequestA(exchange.connection.get(), "GET", object.c_str(), "HTTP/1.0", nullptr, accept, flags, 0));
  if (!exchange.request) return CodeOfWinInetError(::GetLastError());
  // Some WinINet implementations take the time-outs only from the request.
  SetTimeoutOptions(exchange.request.get(), connectMs_, inactivityMs_);

  std::string headers = "Accept-Encoding: identity\r\n";
  if (revalidate_) headers += "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
  if (rangeFrom > 0) headers += "Range: bytes=" + std::to_string(rangeFrom) + "-\r\nIf-Range: " + validator + "\r\n";
  const DWORD started = ::GetTickCount();
  // The headers get the time to connect and two silences at most, never
  // more than a minute, nor more than the transfer's deadline leaves.
  DWORD limit = std::min<DWORD>(connectMs_ + 2 * inactivityMs_, kHeaderLimitMs);
  if (deadlineMs_) {
    const DWORD spent = ::GetTickCount() - started_;
    limit = std::min(limit, spent < deadlineMs_ ? deadlineMs_ - spent : 1);
  }
  // A server that drips header bytes keeps HttpSendRequest from returning,
  // and no time-out of WinINet trips on it: the call is left behind then.
  struct Sent {
    bool ok = false;
    DWORD error = 0;
  };
  auto sent = std::make_shared<Sent>();
  HINTERNET request = exchange.request.get();
  auto send = [sent, request, headers] {
    sent->ok = ::HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()), nullptr, 0) != FALSE;
    sent->error = sent->ok ? 0 : ::GetLastError();
  };
  const std::shared_ptr<LeavableCall> call =
      LeavableCall::Start({request, exchange.connection.get(), session}, [send](LeavableCall&) { send(); });
  if (!call) {
    send();  // no thread to spare: the call is made here, unbounded as WinINet makes it
  } else if (!call->Wait(limit) && call->Leave()) {
    HandOver(exchange);
    return FK_TOO_SLOW;
  } else {
    call->Wait(INFINITE);  // finished just now
  }
  if (!sent->ok) return FailureCode(sent->error, ::GetTickCount() - started, std::min(connectMs_, inactivityMs_));

  std::string text;
  if (!QueryHeader(exchange.request.get(), HTTP_QUERY_STATUS_CODE, text)) return FK_PROTOCOL_ERROR;
  exchange.status = static_cast<int>(ParseLength(text));
  if (exchange.status < 100) return FK_PROTOCOL_ERROR;
  if (QueryHeader(exchange.request.get(), HTTP_QUERY_CONTENT_LENGTH, text)) {
    exchange.contentLength = ParseLength(text);
    if (exchange.contentLength < 0) return FK_PROTOCOL_ERROR;
  }
  if (QueryHeader(exchange.request.get(), HTTP_QUERY_CONTENT_RANGE, text))
    exchange.contentRange = fetchkit::ParseContentRange(text);
  if (QueryHeader(exchange.request.get(), HTTP_QUERY_LOCATION, text)) exchange.location = text;
  if (QueryHeader(exchange.request.get(), HTTP_QUERY_CONTENT_ENCODING, text)) exchange.contentEncoding = text;
  if (QueryHeader(exchange.request.get(), HTTP_QUERY_TRANSFER_ENCODING, text))
    exchange.chunked = HasHeaderToken(text, "chunked");
  std::string etag, lastModified;
  QueryHeader(exchange.request.get(), HTTP_QUERY_ETAG, etag);
  QueryHeader(exchange.request.get(), HTTP_QUERY_LAST_MODIFIED, lastModified);
  exchange.validator = fetchkit::RangeValidator(etag, lastModified);
  DWORD size = 0;
  ::HttpQueryInfoA(exchange.request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr);
  exchange.headerBytes = size;
  return FK_OK;
}

unsigned Transfer::Receive(HINTERNET session, Exchange& exchange, const wchar_t* path, bool append, int64_t offset,
                           int64_t total) {
  fw::ScopedFile file(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, append ? OPEN_EXISTING : CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return LocalFileFailure(::GetLastError());
  if (append) {
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(file.get(), LARGE_INTEGER{}, &end, FILE_END) || end.QuadPart != offset)
      return FK_LOCAL_FILE_ERROR;
  }
  // The whole file's size: for a fresh body its length, for a continued one
  // the range's total.
  const int64_t bodyExpected = total >= 0 ? total - offset : -1;
  ProgressThrottle throttle(kProgressBytes, kProgressMillis);
  Report(total, offset);
  throttle.Reported(static_cast<uint64_t>(offset), ::GetTickCount());
  fetchkit::StallGuard stall(kStallWindowMs, kStallMinBytes, static_cast<uint64_t>(offset), ::GetTickCount());

  const std::shared_ptr<BodyReader> body =
      BodyReader::Start({exchange.request.get(), exchange.connection.get(), session}, file.release(),
                        {offset, bodyExpected, maxBytes_, total, inactivityMs_, receiver_});
  if (!body) return FK_INTERNAL_ERROR;
  // This thread watches the reads: it reports what arrived, and leaves the
  // reader behind when the server stops making progress or time is up.
  unsigned result = FK_OK;
  for (;;) {
    const bool finished = body->Wait(kProgressMillis);
    const uint32_t now = ::GetTickCount();
    const int64_t received = body->Received();
    if (finished) {
      result = body->Result();
      break;
    }
    if ((stall.Stalled(static_cast<uint64_t>(received), now) || PastDeadline()) && body->Abandon()) {
      // The reader now owns the request and its parents, and closes them
      // once WinINet lets it go; it writes nothing more.
      HandOver(exchange);
      Report(total, received);
      return FK_TOO_SLOW;
    }
    if (throttle.ShouldReport(static_cast<uint64_t>(received), now)) {
      Report(total, received);
      throttle.Reported(static_cast<uint64_t>(received), now);
    }
  }
  const int64_t received = body->Received();
  if (result == FK_OK && bodyExpected >= 0 && received - offset != bodyExpected) result = FK_INCOMPLETE;
  // The size is known at the end even when the server did not announce it.
  Report(result == FK_OK ? received : total, received);
  return result;
}

void Transfer::Report(int64_t total, int64_t received) {
  if (!reportProgress_ || !notifyWnd_ || !notifyMessage_) return;
  FkProgress record{transferId_, Clamp32(total), Clamp32(received)};
  ::SendMessageA(notifyWnd_, notifyMessage_, 0, reinterpret_cast<LPARAM>(&record));
}

}  // namespace

CHttpDownload* CHttpDownload::NewInstance() {
  try {
    return new Transfer();
  } catch (...) {
    return nullptr;
  }
}

CHttpDownload::~CHttpDownload() = default;

extern "C" CHttpDownload* FetchkitNewInstance() { return CHttpDownload::NewInstance(); }
