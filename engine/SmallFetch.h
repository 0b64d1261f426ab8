// One bounded fetch of a small file (the release notes, the manifest, its
// signature): fetched whole to a local name, read back, and deleted when the
// object goes. Never more than `maxBytes` is read, and the transfer ends by
// its deadline. After a failed transfer whatever the library left at the
// local name stays there (a caller never reads it), unless asked otherwise.
#pragma once

#include <cstdint>
#include <string>

struct FetchBounds {
  int64_t maxBytes;
  int timeoutMs;   // connect and inactivity time-outs; 0 keeps the library's
  int deadlineMs;  // the whole transfer; 0: none
  bool keepFailedTransfer = true;
};

class SmallFile {
 public:
  SmallFile(const std::string& url, std::string localPath, const FetchBounds& bounds);
  ~SmallFile();
  SmallFile(const SmallFile&) = delete;
  SmallFile& operator=(const SmallFile&) = delete;

  // True when the transfer ended with code 0 and the file was read.
  bool ok() const { return read_; }
  // The download library's code (3 when no download object was had).
  unsigned code() const { return code_; }
  const std::string& bytes() const { return bytes_; }
  // Where the file lies while this object lives.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string bytes_;
  unsigned code_ = 3;
  bool read_ = false;
  bool keepFailed_;
};
