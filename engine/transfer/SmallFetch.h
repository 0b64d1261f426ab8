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

struct FetchBounds {
  int64_t maxBytes;
  int timeoutMs;   // connect and inactivity time-outs; 0 keeps the library's
  int deadlineMs;  // the whole transfer; 0: none
  bool keepFailedTransfer = true;
  // Where the library's progress records go; none without a window.
  HWND progressWindow = nullptr;
  UINT progressMessage = 0;
};

class SmallFile {
 public:
  SmallFile(const std::string& url, std::string localPath, const FetchBounds& bounds);
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
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string bytes_;
  unsigned code_ = 3;
  bool read_ = false;
  bool keepFailed_;
};
