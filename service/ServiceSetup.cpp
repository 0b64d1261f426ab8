#include "service/ServiceSetup.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>

#include "engine/install/InstallPaths.h"
#include "engine/install/ServiceRequest.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/ScopedSystem.h"
#include "framework/Text.h"

namespace {

// Interactive users may start the service and ask how it went; only the
// system and administrators may change, stop or delete it.
constexpr wchar_t kServiceAccess[] =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWRPLORC;;;IU)";
// The install folder: administrators and the system write it, users read
// and run it. Protected: nothing inherited from above loosens it.
constexpr wchar_t kFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// The service's own folder: administrators and the system only.
constexpr wchar_t kOwnFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::string U(const std::wstring& path) { return fw::Utf8(path); }

bool ApplyFolderAccess(const std::wstring& folder, const wchar_t* sddl) {
  fw::ScopedLocal descriptor;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) return false;
  descriptor.reset(sd);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return false;
  std::wstring path = TrimTrailingSeparators(folder);
  const DWORD result = ::SetNamedSecurityInfoW(&path[0], SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                               nullptr, dacl, nullptr);
  ::SetLastError(result);
  return result == ERROR_SUCCESS;
}

bool RegisterService(const std::wstring& program) {
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
  if (!manager) return false;
  const std::wstring command = L"\"" + program + L"\"";
  const DWORD access = SERVICE_CHANGE_CONFIG | WRITE_DAC | READ_CONTROL | SERVICE_QUERY_STATUS;
  fw::ScopedService service(::CreateServiceW(manager.get(), kUpdateServiceName, kUpdateServiceDisplayName, access,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                             command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service && ::GetLastError() == ERROR_SERVICE_EXISTS) {
    // Installed again (another folder, a repair): the program is this one.
    service.reset(::OpenServiceW(manager.get(), kUpdateServiceName, access));
    if (!service || !::ChangeServiceConfigW(service.get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                            SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr,
                                            nullptr, kUpdateServiceDisplayName))
      return false;
  }
  if (!service) return false;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceAccess, SDDL_REVISION_1, &sd, nullptr)) return false;
  const fw::ScopedLocal descriptor(sd);
  return ::SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, sd) != FALSE;
}

bool RegisterFolder(const std::wstring& folder) {
  fw::ScopedKey key;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMachineInstallsKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  const DWORD bytes = static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key.get(), folder.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()), bytes) ==
         ERROR_SUCCESS;
}

}  // namespace

std::wstring ServiceLogPath() { return DirectoryUpToLastBackslash(fw::ProgramPath()) + kServiceFolder + kServiceLogName; }

int InstallUpdateService(const std::wstring& given) {
  wchar_t full[MAX_PATH] = {};
  const DWORD n = ::GetFullPathNameW(given.c_str(), MAX_PATH, full, nullptr);
  std::wstring folder = n > 0 && n < MAX_PATH ? std::wstring(full, n) : std::wstring();
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  const std::wstring program = fw::ProgramPath();
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (!IsPlainLocalPath(TrimTrailingSeparators(folder)) || attributes == INVALID_FILE_ATTRIBUTES ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    std::printf("--install: \"%s\" is not a plain local folder that exists\n", U(given).c_str());
    return 2;
  }
  if (!SameFolderName(DirectoryUpToLastBackslash(program), folder)) {
    std::printf("--install: run the UpdaterService.exe installed in \"%s\" (it is the one the service runs)\n", U(folder).c_str());
    return 2;
  }
  if (!ApplyFolderAccess(folder, kFolderAccess)) {
    std::printf("--install: the access of \"%s\" could not be set (error %lu)\n", U(folder).c_str(), ::GetLastError());
    return 1;
  }
  const std::wstring own = folder + kServiceFolder;
  ::CreateDirectoryW(own.c_str(), nullptr);
  if (!ApplyFolderAccess(own, kOwnFolderAccess)) {
    std::printf("--install: the access of \"%s\" could not be set (error %lu)\n", U(own).c_str(), ::GetLastError());
    return 1;
  }
  if (!RegisterService(program)) {
    std::printf("--install: the service could not be registered (error %lu)\n", ::GetLastError());
    return 1;
  }
  if (!RegisterFolder(folder)) {
    std::printf("--install: \"%s\" could not be registered (error %lu)\n", U(folder).c_str(), ::GetLastError());
    return 1;
  }
  std::printf("--install: the update service serves \"%s\", writable by administrators only\n", U(folder).c_str());
  return 0;
}

int UninstallUpdateService() {
  const std::wstring folder = DirectoryUpToLastBackslash(fw::ProgramPath());
  int result = 0;
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const fw::ScopedService service(
      manager ? ::OpenServiceW(manager.get(), kUpdateServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS) : nullptr);
  if (service) {
    SERVICE_STATUS status{};
    ::ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (!::DeleteService(service.get()) && ::GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) {
      std::printf("--uninstall: the service could not be deleted (error %lu)\n", ::GetLastError());
      result = 1;
    }
  } else if (::GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
    std::printf("--uninstall: the service could not be opened (error %lu)\n", ::GetLastError());
    result = 1;
  }
  fw::ScopedKey key;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineInstallsKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | KEY_WOW64_32KEY,
                      key.put()) == ERROR_SUCCESS) {
    ::RegDeleteValueW(key.get(), folder.c_str());
    DWORD values = 0;
    ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                       nullptr, nullptr);
    key.reset();
    if (values == 0) ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kMachineInstallsKey, KEY_WOW64_32KEY, 0);
  }
  if (result == 0) std::printf("--uninstall: the update service is gone and \"%s\" is no longer registered\n", U(folder).c_str());
  return result;
}
