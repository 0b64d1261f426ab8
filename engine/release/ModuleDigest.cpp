#include "engine/release/ModuleDigest.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <vector>

const char kModuleDigestKey[] = "zxcv%&reg;*hgk517!(";
#include "engine/release/DigestRules.h"

using namespace digest_rules;

namespace {

constexpr size_t kChunk = 1 << 20;

}  // namespace
namespace {

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t FileLength(std::FILE* file) {
#ifdef _WIN32
  if (_fseeki64(file, 0, SEEK_END) != 0) return -1;
  const int64_t length = _ftelli64(file);
#else
  if (fseeko(file, 0, SEEK_END) != 0) return -1;
  const int64_t length = ftello(file);
#endif
  return length;
}

bool SeekTo(std::FILE* file, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET) == 0;
#else
  return fseeko(file, offset, SEEK_SET) == 0;
#endif
}

}  // namespace

std::string ModuleDigestOfBytes(const uint8_t* data, int32_t length, const std::string& key) {
  if (key.empty() || length < 0) return {};
  if (ModuleDigester::Streams(key, length)) {
    ModuleDigester digester(key, length);
    digester.Add(data, static_cast<size_t>(length));
    return digester.Finish();
  }
  ExactState state(key, length);
  state.Forward(data, static_cast<size_t>(length), 0);
  state.Backward(data, static_cast<size_t>(length), 0);
  return state.Render();
}

std::string ModuleDigestOfStream(std::FILE* file, int32_t length, const std::string& key) {
  if (key.empty() || length < 0) return {};
  // A small file needs no more than its own size.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[std::max<size_t>(1, std::min<size_t>(kChunk, static_cast<size_t>(length)))]);
  // A file that shrinks while it is read: only the bytes actually read take
  // part, as if the file had that length; the length only ever decreases.
  for (;;) {
    if (!SeekTo(file, 0)) return {};
    if (ModuleDigester::Streams(key, length)) {
      // One pass over the file.
      ModuleDigester digester(key, length);
      int32_t done = 0;
      while (done < length) {
        const size_t want = std::min<size_t>(kChunk, static_cast<size_t>(length - done));
        const size_t got = std::fread(buffer.get(), 1, want, file);
        digester.Add(buffer.get(), got);
        done += static_cast<int32_t>(got);
        if (got != want) break;
      }
      if (done == length) return digester.Finish();
      length = done;
      continue;
    }
    ExactState state(key, length);
    int32_t done = 0;
    bool shrank = false;
    while (done < length) {
      const size_t want = std::min<size_t>(kChunk, static_cast<size_t>(length - done));
      const size_t got = std::fread(buffer.get(), 1, want, file);
      if (got != want) {
        length = done + static_cast<int32_t>(got);
        shrank = true;
        break;
      }
      state.Forward(buffer.get(), want, static_cast<uint32_t>(done));
      done += static_cast<int32_t>(want);
    }
    if (shrank) continue;
    int32_t end = length;
    while (end > 0) {
      const size_t want = std::min<size_t>(kChunk, static_cast<size_t>(end));
      if (!SeekTo(file, end - static_cast<int32_t>(want)) || std::fread(buffer.get(), 1, want, file) != want) break;
      end -= static_cast<int32_t>(want);
      state.Backward(buffer.get(), want, static_cast<uint32_t>(end));
    }
    if (end == 0) return state.Render();
    const int64_t now = FileLength(file);
    if (now < 0 || now >= length) return {};
    length = static_cast<int32_t>(now);
  }
}

namespace {

std::string DigestOfOpenFile(std::FILE* file, const std::string& key) {
  if (!file) return {};
  const int64_t length = FileLength(file);
  std::string result;
  // The fingerprint's length is a signed 32-bit value: larger files are not modules.
  if (length >= 0 && length <= INT32_MAX) result = ModuleDigestOfStream(file, static_cast<int32_t>(length), key);
  std::fclose(file);
  return result;
}

}  // namespace

std::string ModuleDigest(const std::string& path, const std::string& key) {
  if (!FileExists(path)) return {};
  if (key.empty()) return {};
  return DigestOfOpenFile(std::fopen(path.c_str(), "rb"), key);
}

#ifdef _WIN32
std::string ModuleDigest(const std::wstring& path, const std::string& key) {
  if (key.empty()) return {};
  return DigestOfOpenFile(_wfopen(path.c_str(), L"rb"), key);
}
#endif

bool IsWellFormedDigest(const std::string& text) {
  if (text.size() != 32) return false;
  for (const char c : text)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

std::string LowerCaseDigest(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}
