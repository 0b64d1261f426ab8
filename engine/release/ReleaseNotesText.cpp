#include "engine/release/ReleaseNotes.h"

std::string ReleaseNotesFromFileBytes(const std::string& bytes) {
  std::string text = bytes.substr(0, bytes.find('\x1A'));
  std::string notes;
  notes.reserve(text.size() + text.size() / 8);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const bool lastWithoutLf = end == std::string::npos;
    if (lastWithoutLf) end = text.size();
    size_t lineEnd = end;
    if (!lastWithoutLf && lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    notes.append(text, start, lineEnd - start);
    notes += "\r\n";
    start = end + 1;
  }
  return notes;
}
