// One bounded fetch of a file read whole (the release notes, the manifest,
// its signature, a patch): fetched whole to a local name, read back, and
// deleted when the object goes. Never more than `maxBytes` is read, and the
// transfer ends by its deadline. After a failed transfer whatever the library
// left at the local name stays there (a caller never reads it), unless asked otherwise.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct FetchBounds {
  int64_t maxBytes;
  int timeoutMs;   // connect and inactivity time-outs; 0 keeps the library's
  int deadlineMs;  // the whole transfer; 0: none
  bool keepFailedTransfer = true;
  // Where the library's progress records go; none without a window.
  HWND progressWindow = nullptr;
  UINT progressMessage = 0;
  // Caches on the way are asked to check with the origin (an entry point
  // fetched again because a cache may hold a stale one).
  bool revalidate = false;
  // FetchFromFirstAnswering: all bases together end by this long (0: each
  // base has `deadlineMs` of its own).
  int allBasesDeadlineMs = 0;
};

// Whether a transfer's code means the server did not answer at all (no
// connection, no byte in time, or a server error a dead origin behind a
// proxy gives), rather than answering with something.
bool ServerDidNotAnswer(unsigned code);

class SmallFile {
 public:
  SmallFile(const std::string& url, std::wstring localPath, const FetchBounds& bounds);
  ~SmallFile();
  SmallFile(const SmallFile&) = delete;
  SmallFile& operator=(const SmallFile&) = delete;

  // True when the transfer ended with code 0 and the file was read.
  bool ok() const { return read_; }
  // The download library's code (3 when no download object was had; the
  // local-file error when the fetched file could not be read back).
  unsigned code() const { return code_; }
  const std::string& bytes() const { return bytes_; }
  std::string TakeBytes() { return std::move(bytes_); }
  // Where the file lies while this object lives.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  std::string bytes_;
  unsigned code_ = 3;
  bool read_ = false;
  bool keepFailed_;
};

// A small file fetched from the first of `bases` that answers (each tried in
// order while ServerDidNotAnswer). `base` is the one that answered, or the
// last tried.
struct FirstAnswer {
  unsigned code = 3;
  std::string bytes;
  std::string base;
  bool ok() const { return code == 0; }
};
// What is left of a bound that ends at tick `until` (GetTickCount64), in
// milliseconds; 0 once it has passed.
int MsUntil(ULONGLONG until);

FirstAnswer FetchFromFirstAnswering(const std::vector<std::string>& bases, const std::string& name,
                                    const std::wstring& localPath, const FetchBounds& bounds);
