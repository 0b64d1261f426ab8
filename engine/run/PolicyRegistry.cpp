#include <windows.h>

#include <vector>

#include "engine/run/Policy.h"
#include "framework/Scoped.h"

namespace {

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};

}  // namespace

PolicyValues ReadPolicyValues(bool machine) {
  PolicyValues values;
  fw::Scoped<RegistryKeyTraits> key;
  if (::RegOpenKeyExA(machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, kPolicyKey, 0, KEY_READ, key.put()) !=
      ERROR_SUCCESS) {
    key.release();
    return values;
  }
  for (DWORD i = 0; i < 64; ++i) {
    char name[256];
    DWORD nameSize = sizeof name, type = 0;
    BYTE data[1024];
    DWORD dataSize = sizeof data;
    const LONG status = ::RegEnumValueA(key.get(), i, name, &nameSize, nullptr, &type, data, &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    PolicyValue value;
    if (status == ERROR_SUCCESS && type == REG_DWORD && dataSize == sizeof(DWORD)) {
      value.type = PolicyValue::Dword;
      value.number = *reinterpret_cast<const DWORD*>(data);
    } else if (status == ERROR_SUCCESS && type == REG_SZ) {
      value.type = PolicyValue::String;
      value.text.assign(reinterpret_cast<const char*>(data), dataSize);
      value.text = value.text.c_str();  // up to its terminator
    }
    values[std::string(name, nameSize)] = value;
  }
  return values;
}
