// UpdaterService.exe: started by the service manager (no arguments on its
// command line; the request's come with the start), or by the product's
// installer, elevated:
//
//   UpdaterService.exe --install FOLDER   register the service and FOLDER
//   UpdaterService.exe --uninstall        and take both away again
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/crypto/Signature.h"
#include "engine/run/SupportLog.h"
#include "service/ServiceJob.h"
#include "service/ServiceSetup.h"

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;

void Report(DWORD state, ServiceOutcome outcome) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  // One request, bounded by its own steps: it is not stopped half-way.
  status.dwControlsAccepted = 0;
  if (outcome != ServiceOutcome::Installed) {
    status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = static_cast<DWORD>(outcome);
  }
  ::SetServiceStatus(g_status, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

// One request per start; the process ends with it.
void WINAPI OnStart(DWORD count, wchar_t** arguments) {
  g_status = ::RegisterServiceCtrlHandlerExW(kUpdateServiceName, OnControl, nullptr);
  if (!g_status) return;
  Report(SERVICE_RUNNING, ServiceOutcome::Installed);
  std::vector<std::wstring> request;
  for (DWORD i = 1; i < count; ++i) request.emplace_back(arguments[i]);
  const ServiceOutcome outcome = ServeRequest(request, LoadReleaseKeys(::GetModuleHandleW(nullptr)));
  Report(SERVICE_STOPPED, outcome);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--install") return InstallUpdateService(argv[2]);
  if (argc == 2 && std::wstring(argv[1]) == L"--uninstall") return UninstallUpdateService();
  if (argc != 1) {
    std::fprintf(stderr, "usage: UpdaterService.exe --install FOLDER | --uninstall (the service manager starts it)\n");
    return 2;
  }
  SendSupportLogOnlyTo(ServiceLogPath());
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kUpdateServiceName), OnStart}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
