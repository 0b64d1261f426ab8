#include "framework/Text.h"

#include <windows.h>

namespace fw {

std::wstring Widen(std::string_view bytes, unsigned codePage) {
  if (bytes.empty()) return {};
  const int n = ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring text(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
  if (n > 0) ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
  return text;
}

std::string Narrow(std::wstring_view text, unsigned codePage) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                      nullptr);
  std::string bytes(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0)
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  return bytes;
}

}  // namespace fw
