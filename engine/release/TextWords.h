// The words of a line of the engine's text records (the manifest's lists,
// the install journal), read without the standard streams: they would add
// the C++ locale machinery, most of a megabyte, to every program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The words of `text`, split at blanks (space, tab, CR, LF, VT, FF).
inline std::vector<std::string> WordsOf(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n\v\f";
  std::vector<std::string> words;
  for (size_t at = text.find_first_not_of(kBlanks); at != std::string_view::npos;) {
    const size_t end = text.find_first_of(kBlanks, at);
    words.emplace_back(text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at));
    at = end == std::string_view::npos ? end : text.find_first_not_of(kBlanks, end);
  }
  return words;
}

// Decimal digits only, few enough (12) to mean a size or a number.
inline bool ParseCount(std::string_view text, int64_t& out) {
  if (text.empty() || text.size() > 12) return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}
