// The update service's start arguments, as any program may pass them: the
// input is split at NUL units into UTF-16 arguments. A request it accepts
// names two plain local paths, neither inside the other, within the limit.
#include "FuzzCheck.h"
#include "engine/install/ServiceRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::wstring> arguments(1);
  for (size_t i = 0; i + 1 < size; i += 2) {
    const wchar_t unit = static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    if (unit == 0)
      arguments.emplace_back();
    else
      arguments.back() += unit;
  }
  if (const std::optional<ServiceRequest> request = ParseServiceRequest(arguments)) {
    for (const std::wstring* path : {&request->folder, &request->staging}) {
      FUZZ_CHECK(path->size() <= kMaxRequestPath + 1 && path->back() == L'\\' && (*path)[1] == L':');
      FUZZ_CHECK(path->find(L"\\..\\") == std::wstring::npos && path->find(L"\\.\\") == std::wstring::npos);
      FUZZ_CHECK(path->find(L'/') == std::wstring::npos && path->find(L':', 2) == std::wstring::npos);
    }
    FUZZ_CHECK(!SameFolderName(request->folder, request->staging));
  }
  for (const std::wstring& argument : arguments)
    if (const std::optional<StagedEntry> entry = StagedEntryOf(argument))
      FUZZ_CHECK(argument.find(L'\\') == std::wstring::npos && argument.find(L'/') == std::wstring::npos);
  return 0;
}
