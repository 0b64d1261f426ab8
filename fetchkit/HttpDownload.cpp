#include "fetchkit/HttpDownload.h"

#include <wininet.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fetchkit/TransferRules.h"

namespace {

using fetchkit::ContentRange;
using fetchkit::PlanResponse;
using fetchkit::ProgressThrottle;
using fetchkit::ResponseFacts;
using fetchkit::ResponsePlan;

constexpr int kMaxRedirects = 10;
// Reads of a body: from what WinINet holds at once up to 512 KB.
constexpr DWORD kReadBufferMin = 8 * 1024;
constexpr DWORD kReadBufferMax = 512 * 1024;
// Progress goes out whenever new bytes arrived, at most every 200 ms.
constexpr uint64_t kProgressBytes = 1;
constexpr uint32_t kProgressMillis = 200;
constexpr int64_t kDefaultMaxBytes = 0x7FFFFFFF;
constexpr DWORD kMaxHeaderBytes = 64 * 1024;
// Real progress: at least 16 KB in every 25 s. With the 30 s inactivity
// time-out a dripping server is cut off within about 55 s.
constexpr uint32_t kStallWindowMs = 25000;
constexpr uint64_t kStallMinBytes = 16 * 1024;
constexpr char kValidatorSuffix[] = ".fkv";
constexpr DWORD kHeaderLimitMs = 60000;

std::atomic<uint32_t> g_lastTransferId{0};

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h = nullptr) : h_(h) {}
  ~InternetHandle() {
    if (h_) ::InternetCloseHandle(h_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  void reset(HINTERNET h) {
    if (h_) ::InternetCloseHandle(h_);
    h_ = h;
  }
  HINTERNET get() const { return h_; }
  HINTERNET release() {
    HINTERNET h = h_;
    h_ = nullptr;
    return h;
  }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_;
};

// The request and its response headers, sent on a thread of their own. A
// server that drips header bytes keeps HttpSendRequest from returning, and
// no time-out of WinINet trips on it; the transfer then leaves the call
// behind, and the thread closes the handles once WinINet lets it go.
class HeaderWait {
 public:
  // Sends `request` (handles: request, connection, session); false with
  // `error` set when the call failed, or `abandoned` when it took longer
  // than `limitMs` (the handles are then the thread's to close).
  static bool Send(HINTERNET request, HINTERNET connection, HINTERNET session, const std::string& headers,
                   DWORD limitMs, DWORD& error, bool& abandoned) {
    auto* state = new State{request, connection, session, headers};
    state->done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    abandoned = false;
    HANDLE thread = state->done ? ::CreateThread(nullptr, 0, &Run, state, 0, nullptr) : nullptr;
    if (!thread) {
      // No thread to spare: the call is made here, unbounded as WinINet makes it.
      if (state->done) ::CloseHandle(state->done);
      delete state;
      const BOOL ok = ::HttpSendRequestA(request, headers.c_str(), static_cast<DWORD>(headers.size()), nullptr, 0);
      error = ok ? 0 : ::GetLastError();
      return ok != FALSE;
    }
    ::CloseHandle(thread);
    const bool inTime = ::WaitForSingleObject(state->done, limitMs) == WAIT_OBJECT_0;
    int running = kRunning;
    if (!inTime && state->phase.compare_exchange_strong(running, kAbandoned)) {
      abandoned = true;  // the thread frees the state and the handles
      return false;
    }
    ::WaitForSingleObject(state->done, INFINITE);  // finished just now
    const bool ok = state->ok;
    error = state->error;
    ::CloseHandle(state->done);
    delete state;
    return ok;
  }

 private:
  enum { kRunning, kFinished, kAbandoned };
  struct State {
    HINTERNET request, connection, session;
    std::string headers;
    HANDLE done = nullptr;
    bool ok = false;
    DWORD error = 0;
    std::atomic<int> phase{kRunning};
  };
  static DWORD WINAPI Run(void* param) {
    auto* state = static_cast<State*>(param);
    state->ok = ::HttpSendRequestA(state->request, state->headers.c_str(), static_cast<DWORD>(state->headers.size()),
                                   nullptr, 0) != FALSE;
    state->error = state->ok ? 0 : ::GetLastError();
    int running = kRunning;
    if (state->phase.compare_exchange_strong(running, kFinished)) {
      ::SetEvent(state->done);
      return 0;
    }
    // Left behind: nobody waits any more.
    for (HINTERNET h : {state->request, state->connection, state->session}) ::InternetCloseHandle(h);
    ::CloseHandle(state->done);
    delete state;
    return 0;
  }
};

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  ~FileHandle() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return h_; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }
  explicit operator bool() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

void DefaultTimeouts(DWORD& connectMs, DWORD& inactivityMs) {
  connectMs = 15000;
  inactivityMs = 30000;
  char value[64] = {};
  const DWORD n = ::GetEnvironmentVariableA("FETCHKIT_TIMEOUTS", value, sizeof value);
  if (n == 0 || n >= sizeof value) return;
  char* end = nullptr;
  const long connect = std::strtol(value, &end, 10);
  if (end && *end == ',') {
    const long inactivity = std::strtol(end + 1, nullptr, 10);
    if (inactivity > 0) inactivityMs = static_cast<DWORD>(inactivity);
  }
  if (connect > 0) connectMs = static_cast<DWORD>(connect);
}

// Bytes already at the local path; 0 when there is no file.
int64_t LocalFileSize(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return 0;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  return static_cast<int64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

unsigned CodeOfWinInetError(DWORD error) {
  switch (error) {
    case ERROR_INTERNET_TIMEOUT:
      return FK_TIMED_OUT;
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_PROXY_SERVER_UNREACHABLE:
      return FK_CONNECT_FAILED;
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
    case ERROR_INTERNET_OPERATION_CANCELLED:
      return FK_CONNECTION_LOST;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return FK_SECURE_CHANNEL_ERROR;
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
    case ERROR_HTTP_INVALID_HEADER:
      return FK_PROTOCOL_ERROR;
    default:
      return FK_CONNECT_FAILED;
  }
}

// Implementations differ in the error a time-out gives (Wine reports an
// aborted connection): a call that failed after waiting out its time-out
// timed out.
unsigned FailureCode(DWORD error, DWORD elapsedMs, DWORD timeoutMs) {
  const unsigned code = CodeOfWinInetError(error);
  if (code == FK_SECURE_CHANNEL_ERROR || code == FK_PROTOCOL_ERROR) return code;
  if (timeoutMs > 200 && elapsedMs + 100 >= timeoutMs) return FK_TIMED_OUT;
  return code;
}

bool QueryHeader(HINTERNET request, DWORD what, std::string& out) {
  DWORD size = 256;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<char> buffer(size + 1, '\0');
    DWORD length = size;
    if (::HttpQueryInfoA(request, what, buffer.data(), &length, nullptr)) {
      out.assign(buffer.data(), length);
      return true;
    }
    if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    size = length + 1;
  }
  return false;
}

int64_t ParseLength(const std::string& text) {
  if (text.empty()) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    if (value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

uint32_t Clamp32(int64_t v) { return v < 0 ? 0 : v > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

// The validator of a partial file, kept beside it; empty when there is none.
std::string ReadValidator(const std::string& path) {
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  char buffer[512];
  DWORD got = 0;
  if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) || got == sizeof buffer) return {};
  return std::string(buffer, got);
}

bool WriteValidator(const std::string& path, const std::string& validator) {
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && ::WriteFile(file.get(), validator.data(), static_cast<DWORD>(validator.size()), &written, nullptr) &&
         written == validator.size();
}

bool HasHeaderToken(const std::string& value, const char* token) {
  std::string lower = value;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(token) != std::string::npos;
}

// The body of a response, read on a thread of its own and written to the
// file. Reads grow while the link keeps up (a read waits until it is full,
// and few large reads cost far less than many small ones), and the thread
// that started the reader watches it: WinINet cannot stop a read that waits,
// so a reader that makes no progress is left behind. From then on it writes
// nothing, and closes the handles it was given when WinINet lets it go.
class BodyReader : public std::enable_shared_from_this<BodyReader> {
 public:
  BodyReader(HINTERNET request, HINTERNET connection, HINTERNET session, HANDLE file, int64_t offset,
             int64_t bodyExpected, int64_t maxBytes, DWORD inactivityMs, FkReceiver* receiver, int64_t total)
      : request_(request), connection_(connection), session_(session), file_(file), receiver_(receiver), total_(total), offset_(offset), bodyExpected_(bodyExpected), maxBytes_(maxBytes),
        inactivityMs_(inactivityMs), received_(offset) {}
  ~BodyReader() {
    if (file_ != INVALID_HANDLE_VALUE) ::CloseHandle(file_);
    if (done_) ::CloseHandle(done_);
  }
  BodyReader(const BodyReader&) = delete;
  BodyReader& operator=(const BodyReader&) = delete;

  bool Start() {
    done_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!done_) return false;
    auto* self = new std::shared_ptr<BodyReader>(shared_from_this());
    HANDLE thread = ::CreateThread(nullptr, 0, &Run, self, 0, nullptr);
    if (!thread) {
      delete self;
      return false;
    }
    ::CloseHandle(thread);
    return true;
  }
  // True when the reader has finished (within `millis`).
  bool Wait(DWORD millis) const { return ::WaitForSingleObject(done_, millis) == WAIT_OBJECT_0; }
  int64_t Received() const { return received_.load(); }
  unsigned Result() const { return result_; }
  // False when the reader finished meanwhile: its result stands. Otherwise it
  // takes over the request, the connection and the session.
  bool Abandon() {
    std::lock_guard<std::mutex> lock(gate_);
    if (finished_) return false;
    abandoned_ = true;
    ::CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    return true;
  }

 private:
  static DWORD WINAPI Run(void* param) {
    const std::unique_ptr<std::shared_ptr<BodyReader>> self(static_cast<std::shared_ptr<BodyReader>*>(param));
    (*self)->ReadAll();
    return 0;
  }

  void ReadAll() {
    std::vector<char> buffer(kReadBufferMax);
    uint32_t size = kReadBufferMin;
    unsigned result = FK_OK;
    for (;;) {
      const DWORD started = ::GetTickCount();
      // What has arrived is asked for first: it also tells the end of the
      // body apart from a wait. When WinINet's own buffer is full, more is
      // on its way and the read takes a size the link has shown it keeps up with.
      DWORD available = 0, got = 0;
      if (!::InternetQueryDataAvailable(request_, &available, 0, 0)) {
        result = ReadFailure(::GetLastError(), started);
        break;
      }
      if (available == 0) break;
      // Never more than the transfer accepts: at the limit, any byte still
      // to come makes the file too large, and it is not written.
      const int64_t room = maxBytes_ - received_.load();
      if (room <= 0) {
        result = FK_TOO_LARGE;
        break;
      }
      const DWORD want = static_cast<DWORD>(std::min<int64_t>(
          std::min<DWORD>(available >= kReadBufferMin ? std::max<DWORD>(available, size) : available, kReadBufferMax),
          room));
      if (!::InternetReadFile(request_, buffer.data(), want, &got)) {
        result = ReadFailure(::GetLastError(), started);
        break;
      }
      if (got == 0) break;
      if (want >= size) size = fetchkit::NextReadSize(size, got, ::GetTickCount() - started, kReadBufferMin, kReadBufferMax);
      std::lock_guard<std::mutex> lock(gate_);
      if (abandoned_) break;
      DWORD written = 0;
      if (!::WriteFile(file_, buffer.data(), got, &written, nullptr) || written != got) {
        result = FK_LOCAL_FILE_ERROR;
        break;
      }
      if (receiver_) receiver_->OnBytes(total_, received_.load(), buffer.data(), got);
      const int64_t received = received_.load() + got;
      received_.store(received);
      if (bodyExpected_ >= 0 && received - offset_ > bodyExpected_) {
        result = FK_PROTOCOL_ERROR;  // more than announced
        break;
      }
    }
    bool abandoned;
    {
      std::lock_guard<std::mutex> lock(gate_);
      abandoned = abandoned_;
      finished_ = true;
      result_ = result;
      // The file is let go before anyone learns that the reader finished:
      // the caller may rename or delete it at once.
      if (!abandoned) {
        ::CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
      }
    }
    if (!abandoned) {
      ::SetEvent(done_);
      return;
    }
    // Left behind: nobody reads the result; the handles are this reader's.
    for (HINTERNET h : {request_, connection_, session_}) ::InternetCloseHandle(h);
  }

  unsigned ReadFailure(DWORD error, DWORD started) const {
    const unsigned code = FailureCode(error, ::GetTickCount() - started, inactivityMs_);
    return code == FK_CONNECT_FAILED ? FK_CONNECTION_LOST : code;
  }

  const HINTERNET request_, connection_, session_;
  HANDLE file_;
  FkReceiver* const receiver_;  // called under the gate: never once left behind
  const int64_t total_;
  HANDLE done_ = nullptr;
  const int64_t offset_, bodyExpected_, maxBytes_;
  const DWORD inactivityMs_;
  std::atomic<int64_t> received_;
  std::mutex gate_;  // the file, and the hand-over when the reader is left behind
  bool abandoned_ = false;
  bool finished_ = false;
  unsigned result_ = FK_OK;
};

// One HTTP exchange: the connection, the request and what its headers say.
struct Exchange {
  InternetHandle connection;
  InternetHandle request;
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
    try {
      return Run(url, localPath, (flags & FK_FETCH_WHOLE) == 0);
    } catch (...) {
      return FK_INTERNAL_ERROR;
    }
  }

 private:
  unsigned Run(const char* url, const char* path, bool mayResume);
  unsigned Open(HINTERNET session, const std::string& url, int64_t rangeFrom, const std::string& validator,
                Exchange& exchange);
  unsigned Receive(HINTERNET session, Exchange& exchange, const char* path, bool append, int64_t offset, int64_t total);
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

unsigned Transfer::Run(const char* url, const char* path, bool mayResume) {
  if (!url || !*url || !path || !*path) return FK_BAD_ARGUMENT;
  InternetHandle session(::InternetOpenA("Fetchkit/1.0", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return FK_NO_INTERNET;
  DWORD value = connectMs_;
  ::InternetSetOptionA(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &value, sizeof value);
  value = 1;
  ::InternetSetOptionA(session.get(), INTERNET_OPTION_CONNECT_RETRIES, &value, sizeof value);
  value = inactivityMs_;
  ::InternetSetOptionA(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &value, sizeof value);
  ::InternetSetOptionA(session.get(), INTERNET_OPTION_SEND_TIMEOUT, &value, sizeof value);

  started_ = ::GetTickCount();
  const std::string validatorPath = std::string(path) + kValidatorSuffix;
  if (!mayResume) ::DeleteFileA(validatorPath.c_str());
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
        ::DeleteFileA(validatorPath.c_str());
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
        ::DeleteFileA(validatorPath.c_str());
    }
    const unsigned code = Receive(session.get(), exchange, path, append, append ? localSize : 0, total);
    if (sessionAbandoned_) session.release();
    if (code == FK_OK) ::DeleteFileA(validatorPath.c_str());
    if (code == FK_TOO_LARGE) {
      ::DeleteFileA(path);
      ::DeleteFileA(validatorPath.c_str());
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
  DWORD value = connectMs_;
  ::InternetSetOptionA(exchange.request.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &value, sizeof value);
  value = inactivityMs_;
  ::InternetSetOptionA(exchange.request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &value, sizeof value);
  ::InternetSetOptionA(exchange.request.get(), INTERNET_OPTION_SEND_TIMEOUT, &value, sizeof value);

  std::string headers = "Accept-Encoding: identity\r\n";
  if (rangeFrom > 0) headers += "Range: bytes=" + std::to_string(rangeFrom) + "-\r\nIf-Range: " + validator + "\r\n";
  const DWORD started = ::GetTickCount();
  // The headers get the time to connect and two silences at most, never
  // more than a minute, nor more than the transfer's deadline leaves.
  DWORD limit = std::min<DWORD>(connectMs_ + 2 * inactivityMs_, kHeaderLimitMs);
  if (deadlineMs_) {
    const DWORD spent = ::GetTickCount() - started_;
    limit = std::min(limit, spent < deadlineMs_ ? deadlineMs_ - spent : 1);
  }
  DWORD error = 0;
  bool abandoned = false;
  if (!HeaderWait::Send(exchange.request.get(), exchange.connection.get(), session, headers, limit, error, abandoned)) {
    if (abandoned) {
      HandOver(exchange);
      return FK_TOO_SLOW;
    }
    return FailureCode(error, ::GetTickCount() - started, std::min(connectMs_, inactivityMs_));
  }

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

unsigned Transfer::Receive(HINTERNET session, Exchange& exchange, const char* path, bool append, int64_t offset, int64_t total) {
  FileHandle file(::CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, append ? OPEN_EXISTING : CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return FK_LOCAL_FILE_ERROR;
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

  auto body = std::make_shared<BodyReader>(exchange.request.get(), exchange.connection.get(), session, file.release(),
                                           offset, bodyExpected, maxBytes_, inactivityMs_, receiver_, total);
  if (!body->Start()) return FK_INTERNAL_ERROR;
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
