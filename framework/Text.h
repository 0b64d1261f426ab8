// Text between its 8-bit forms and UTF-16, the form it takes to the screen
// and to the file system.
//
// The system's own texts and the server's release notes are code page 936
// (GBK) by contract, whatever code page the running Windows has; the support
// log and other text files that hold paths are UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace fw {

constexpr unsigned kCodePageGbk = 936;
constexpr unsigned kCodePageUtf8 = 65001;

// `bytes` in code page `codePage` as UTF-16; what does not decode becomes
// the code page's default character.
std::wstring Widen(std::string_view bytes, unsigned codePage);
// Code page 936 bytes as UTF-16.
inline std::wstring FromGbk(std::string_view bytes) { return Widen(bytes, kCodePageGbk); }
inline std::wstring FromUtf8(std::string_view bytes) { return Widen(bytes, kCodePageUtf8); }
// UTF-16 in code page `codePage`; what the code page lacks becomes its
// default character (unpaired surrogates in UTF-8 become U+FFFD).
std::string Narrow(std::wstring_view text, unsigned codePage);
inline std::string Utf8(std::wstring_view text) { return Narrow(text, kCodePageUtf8); }
// A file name of the release (ASCII by the manifest's rules) as UTF-16, byte
// for unit; platform-free, for the path rules.
inline std::wstring Ascii(std::string_view text) {
  std::wstring wide(text.size(), L'\0');
  for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<unsigned char>(text[i]);
  return wide;
}

}  // namespace fw
