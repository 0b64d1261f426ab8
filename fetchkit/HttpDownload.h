// Fetchkit.dll: HTTP and HTTPS downloads to a local file, with progress,
// resume of partial files and time-outs.
//
// One instance per transfer:
//   CHttpDownload* d = CHttpDownload::NewInstance();    // null: no resources
//   d->SetNotifyWnd(wnd, WM_MY_PROGRESS, FK_DEFAULT_TIMEOUT, FK_DEFAULT_TIMEOUT,
//                   FK_RESERVED, FK_REPORT_PROGRESS);    // optional
//   unsigned code = d->Download(url, localPath, 0);      // blocks
//   delete d;
//
// Result codes of Download:
//   0     FK_OK               every byte of the file arrived
//   1     FK_ALREADY_COMPLETE  the file at the local path was already whole
//                              (the server answered a resume with 416 and a
//                              length equal to the local size); a success
//   2     FK_BAD_ARGUMENT      URL or path missing, or the URL is not http(s)
//   3     (never returned: callers use it for "no instance")
//   4     FK_NO_INTERNET       the network layer could not be opened
//   5     FK_CONNECT_FAILED    host not found or connection refused
//   6     FK_TIMED_OUT         no connection within the connect time-out, or
//                              no byte received within the inactivity time-out
//   7     FK_CONNECTION_LOST   the connection broke during the transfer
//   8     FK_INCOMPLETE        the body ended before the announced length
//   9     FK_TOO_MANY_REDIRECTS more than 10 redirects
//   10    FK_LOCAL_FILE_ERROR  the local file could not be opened or written
//   11    FK_PROTOCOL_ERROR    a response the library cannot use
//   12    FK_INTERNAL_ERROR    an unexpected failure inside the library
//   13    FK_SECURE_CHANNEL_ERROR  the TLS handshake or the server's certificate failed
//   14    FK_TOO_LARGE         the file is larger than the transfer's maximum
//                              (SetLimits): announced so (nothing is written)
//                              or found so while arriving (what arrived is deleted)
//   15    FK_TOO_SLOW          no real progress: fewer than 16 KB arrived in
//                              25 s, the response headers took longer than the
//                              connect time-out and two inactivity time-outs
//                              (a minute at most), or the transfer's deadline passed
//   16    FK_INSECURE_REDIRECT an https request was redirected to plain http
//   17    FK_ENCODED_BODY      the body came with a content encoding other than
//                              identity (gzip, ...); nothing is written
//   18    FK_HEADERS_TOO_LARGE the response headers exceed 64 KB
//   19    FK_DISK_FULL         the local file could not be written: its disk is full
//   1000 + status  FK_HTTP_STATUS_BASE + the HTTP status of an error response
//                  (for example 1404); nothing is written to the local path
//
// Requests are HTTP/1.0, so a server sends a length or closes the connection
// at the end of the body; a chunked answer (whose cut before its last chunk
// the network layer would not report) is a protocol error.
//
// Resume: a file that a transfer starts gets its validator (a strong ETag,
// else Last-Modified) written beside it in "<local path>.fkv". When a later
// call finds the file and its validator, the rest is asked for with Range
// and If-Range, and appended only when the server answers with the matching
// range of the same entity; a changed file comes whole (200) and replaces
// it; a partial file without a validator is never resumed. The result is
// byte-identical to a fresh download. A failed transfer leaves what arrived
// (and its validator), so that a later call resumes it; a finished one
// removes the validator file.
//
// Progress: with a notify window set, the registered message is sent
// (SendMessage, so the record stays valid until the window has handled it)
// with lParam pointing to an FkProgress record: on the first response, then
// at most every 200 ms whenever new bytes arrived, and once at the end.
// For a resumed transfer `received` and `total` count the whole file.
//
// Time-outs: 15 s to connect and 30 s without a received byte by default;
// the environment variable FETCHKIT_TIMEOUTS="CONNECT_MS,INACTIVITY_MS"
// changes the defaults of the process (for slow networks and for tests).
// However a server drips, a transfer without real progress ends within about
// 55 s (FK_TOO_SLOW). A transfer reads at most 2 GB - 1 unless SetLimits says less.
//
// Instances are independent: any number may run at once on different threads.
// No exception leaves the library.
#pragma once

#include <windows.h>

#include <cstdint>

#ifdef FETCHKIT_BUILD
#define FETCHKIT_API __declspec(dllexport)
#else
#define FETCHKIT_API __declspec(dllimport)
#endif

enum FetchkitCode : unsigned {
  FK_OK = 0,
  FK_ALREADY_COMPLETE = 1,
  FK_BAD_ARGUMENT = 2,
  FK_NO_INTERNET = 4,
  FK_CONNECT_FAILED = 5,
  FK_TIMED_OUT = 6,
  FK_CONNECTION_LOST = 7,
  FK_INCOMPLETE = 8,
  FK_TOO_MANY_REDIRECTS = 9,
  FK_LOCAL_FILE_ERROR = 10,
  FK_PROTOCOL_ERROR = 11,
  FK_INTERNAL_ERROR = 12,
  FK_SECURE_CHANNEL_ERROR = 13,
  FK_TOO_LARGE = 14,
  FK_TOO_SLOW = 15,
  FK_INSECURE_REDIRECT = 16,
  FK_ENCODED_BODY = 17,
  FK_HEADERS_TOO_LARGE = 18,
  FK_DISK_FULL = 19,
  FK_HTTP_STATUS_BASE = 1000,
};

// Beside a partial file: the validator of what it began as.
constexpr char FK_VALIDATOR_SUFFIX[] = ".fkv";
constexpr wchar_t FK_VALIDATOR_SUFFIX_W[] = L".fkv";

// Flags of Download. FK_REVALIDATE asks every cache on the way to check with
// the origin server (Cache-Control: no-cache), for a file that may have just
// changed there.
constexpr int FK_FETCH_WHOLE = 1;
constexpr int FK_REVALIDATE = 2;

// Values of SetNotifyWnd's four trailing arguments.
constexpr int FK_DEFAULT_TIMEOUT = -1;  // the connect or inactivity time-out stays the default
constexpr int FK_RESERVED = -1;
constexpr int FK_REPORT_PROGRESS = 1;

// The record lParam points to during progress messages.
struct FkProgress {
  uint32_t transferId;  // distinct per transfer in the process, counting from 1
  uint32_t total;       // file size in bytes; 0 while not known
  uint32_t received;    // bytes of the file at the local path so far
};

// What SetReceiver takes.
class FkReceiver {
 public:
  virtual void OnBytes(int64_t total, int64_t offset, const void* bytes, uint32_t count) = 0;

 protected:
  ~FkReceiver() = default;
};

class CHttpDownload;
// CHttpDownload::NewInstance under a plain name, for callers that load the
// library at run time (GetProcAddress).
extern "C" FETCHKIT_API CHttpDownload* FetchkitNewInstance();

class FETCHKIT_API CHttpDownload {
 public:
  static CHttpDownload* NewInstance();
  virtual ~CHttpDownload();

  // Progress goes to `wnd` as message `message`. The four values: connect
  // time-out in ms, inactivity time-out in ms (-1 for the defaults of 15 s and
  // 30 s), a reserved value, and 1 to report progress (0: none).
  virtual void SetNotifyWnd(HWND wnd, UINT message, int connectTimeoutMs, int inactivityTimeoutMs, int reserved,
                            int reportProgress) = 0;

  // Fetches `url` into `localPath`. With FK_FETCH_WHOLE in `flags` a file
  // already at the local path is never resumed: the transfer starts over;
  // with FK_REVALIDATE caches are asked to revalidate.
  virtual unsigned Download(const char* url, const char* localPath, int flags) = 0;

  // Time-outs of this instance in ms; 0 or less keeps the current value.
  virtual void SetTimeouts(int connectTimeoutMs, int inactivityTimeoutMs) = 0;

  // The largest file this transfer accepts (bytes, 1 to 2 GB - 1) and a
  // deadline for the whole transfer in ms (0: none, the stall rule applies).
  virtual void SetLimits(int64_t maxBytes, int deadlineMs) = 0;

  // Sees every byte as it is written to the local path, so that a caller can
  // check a file without reading it again. Called on a thread of the
  // library, in file order: `offset` is where `bytes` go in the file and
  // `total` the file's announced size (-1: not announced). A call at an
  // offset other than where the last one ended means the file's earlier
  // bytes are those already at the local path (a resumed transfer), or, at 0,
  // that the file starts over. No call comes once Download has returned.
  virtual void SetReceiver(FkReceiver* receiver) = 0;

  // Download to a UTF-16 local path, which may name a folder the system's
  // code page cannot spell; `localPath` of Download is in that code page.
  // (Added last, so that the table of earlier callers keeps its layout.)
  virtual unsigned DownloadW(const char* url, const wchar_t* localPath, int flags) = 0;

 protected:
  CHttpDownload() = default;
  CHttpDownload(const CHttpDownload&) = delete;
  CHttpDownload& operator=(const CHttpDownload&) = delete;
};
