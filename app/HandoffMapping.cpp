#include "app/HandoffMapping.h"

namespace {

// NtQuerySection's basic information: the exact size the product gave the mapping.
struct SectionBasicInformation {
  PVOID baseAddress;
  ULONG attributes;
  LARGE_INTEGER size;
};
using NtQuerySectionFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);

}  // namespace

HandoffMapping::~HandoffMapping() = default;

void* HandoffMapping::OpenAndMap(const char* name) {
  m_hMapping.reset(::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name));
  if (m_hMapping) m_pView.reset(::MapViewOfFile(m_hMapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  return m_pView.get();
}

size_t HandoffMapping::Size() const {
  if (!m_pView) return 0;
  MEMORY_BASIC_INFORMATION region{};
  const size_t viewSize = ::VirtualQuery(m_pView.get(), &region, sizeof region) ? region.RegionSize : 0;
  static const auto query = reinterpret_cast<NtQuerySectionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySection")));
  SectionBasicInformation info{};
  if (query && query(m_hMapping.get(), 0, &info, sizeof info, nullptr) >= 0 && info.size.QuadPart >= 0 &&
      static_cast<unsigned long long>(info.size.QuadPart) <= viewSize)
    return static_cast<size_t>(info.size.QuadPart);
  return viewSize;
}
