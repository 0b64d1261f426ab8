// The update service of per-machine installs, run by the prefix's service
// manager: what a user stages is installed only when it verifies, and every
// refusal leaves the install folder byte for byte as it was. Wine does not
// separate users, so these prove the protocol and the refusals, not the
// platform's access checks.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <map>

#include "TestSupport.h"
#include "engine/crypto/Signature.h"
#include "engine/install/Installer.h"
#include "engine/install/ServiceClient.h"
#include "engine/run/SupportLog.h"
#include "framework/ScopedSystem.h"
#include "service/ServiceJob.h"

using namespace testing_support;

namespace {

std::string g_service, g_releaseDir, g_www;
int g_cases = 0, g_breaks = 0;

// Fixed paths: the links the test's fixture made point here (a folder name with a blank, as under Program Files).
const std::string kRoot = "C:\\velnoria-service\\";
const std::string kFolder = kRoot + "Program Files\\Velnoria\\";
const std::string kStaging = kRoot + "user\\stage\\";
const std::string kLinks = "C:\\velnoria-links\\";

// For a command line: a backslash before the closing quote would escape it.
std::string Unslashed(const std::string& folder) { return folder.substr(0, folder.size() - 1); }

void ListFiles(const std::string& folder, const std::string& prefix, std::map<std::string, std::string>& files) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(W(folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::string name = fw::Utf8(found.cFileName);
    if (name == "." || name == ".." || (prefix.empty() && name == "UpdaterService")) continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      ListFiles(folder + name + "\\", prefix + name + "\\", files);
    else
      files[prefix + name] = ReadFileBytes(folder + name);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

// Every file of the folder but the service's own log, with its bytes.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  ListFiles(folder, "", files);
  return files;
}

bool IsRelease(const std::string& folder, const char* release) {
  for (const char* m : kCatalogueFiles)
    if (ReadFileBytes(folder + m) != ReadFileBytes(g_releaseDir + release + "\\" + m)) return false;
  return true;
}

std::string ServiceLog() { return ReadFileBytes(kFolder + "UpdaterService\\Service.log"); }

// The old release in the folder, beside the service's program and log.
void ResetFolder() {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileW(W(kFolder + "*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::string name = fw::Utf8(found.cFileName);
      if (name != "." && name != ".." && name != "UpdaterService.exe" && name != "UpdaterService") RemoveTree(kFolder + name);
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
  }
  for (const char* m : kCatalogueFiles) ::CopyFileW(W(g_releaseDir + "old\\" + m).c_str(), W(kFolder + m).c_str(), FALSE);
}

// What the updater leaves for the service: the new release's modules as
// "<name>.tmp" and the manifest with its signature, as verified.
void Stage(const std::string& staging, const std::string& published = "signed") {
  RemoveTree(staging);
  ::CreateDirectoryW(W(staging).c_str(), nullptr);
  for (const char* m : kCatalogueFiles)
    ::CopyFileW(W(g_releaseDir + "new\\" + m).c_str(), W(staging + m + ".tmp").c_str(), FALSE);
  for (const char* f : {"ModelMD5.dll", "ModelMD5.sig"})
    ::CopyFileW(W(g_www + published + "\\" + f).c_str(), W(staging + f).c_str(), FALSE);
}

// The service started by any program with any arguments, waited for.
ServiceOutcome StartWith(const std::vector<std::wstring>& arguments) {
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const fw::ScopedService service(::OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
  std::vector<const wchar_t*> pointers;
  for (const std::wstring& a : arguments) pointers.push_back(a.c_str());
  if (!::StartServiceW(service.get(), static_cast<DWORD>(pointers.size()), pointers.empty() ? nullptr : pointers.data()))
    return ServiceOutcome::Unavailable;
  SERVICE_STATUS status{};
  WaitUntil([&] { return ::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED; }, 60000);
  return static_cast<ServiceOutcome>(status.dwServiceSpecificExitCode);
}

ServiceOutcome Request(const std::string& folder = kFolder, const std::string& staging = kStaging) {
  return RequestServiceInstall(W(folder), W(staging), 60000);
}

class ServiceSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::CreateDirectoryW(W(kRoot).c_str(), nullptr);
    ::CreateDirectoryW(W(kRoot + "Program Files").c_str(), nullptr);
    ::CreateDirectoryW(W(kFolder).c_str(), nullptr);
    ::CreateDirectoryW(W(kRoot + "user").c_str(), nullptr);
    ::CopyFileW(W(g_service).c_str(), W(kFolder + "UpdaterService.exe").c_str(), FALSE);
    const Process installer = StartProcess(kFolder + "UpdaterService.exe", "--install \"" + Unslashed(kFolder) + "\"");
    ASSERT_EQ(WaitForExit(installer, 30000), 0u);
  }
  static void TearDownTestSuite() {
    WaitForExit(StartProcess(kFolder + "UpdaterService.exe", "--uninstall"), 30000);
  }
  void SetUp() override {
    ResetFolder();
    Stage(kStaging);
  }
};

TEST_F(ServiceSuite, TheInstallerRegistersTheServiceAndTheFolder) {
  EXPECT_TRUE(IsRegisteredFolder(W(kFolder)));
  EXPECT_TRUE(IsRegisteredFolder(W(kRoot + "PROGRAM FILES\\velnoria")));  // as the file system compares names
  EXPECT_FALSE(IsRegisteredFolder(W(kRoot + "Program Files\\")));
  // (Who may start, stop or change the service is its security descriptor,
  // which Wine's service manager does not keep: not checkable here.)
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  EXPECT_TRUE(fw::ScopedService(::OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_START | SERVICE_QUERY_STATUS)));
}

TEST_F(ServiceSuite, AReleaseTheUserStagedIsInstalledByTheService) {
  ASSERT_EQ(Request(), ServiceOutcome::Installed) << ServiceLog();
  EXPECT_TRUE(IsRelease(kFolder, "new"));
  EXPECT_TRUE(FileExists(kFolder + "KeptRelease.dat"));
  EXPECT_TRUE(FileExists(kFolder + "Probation.ini"));  // the modules it replaced are kept for a way back
  EXPECT_FALSE(FileExists(kFolder + "UpgradeBackup_P"));
  EXPECT_FALSE(FileExists(kFolder + "Install.journal"));
  EXPECT_NE(ServiceLog().find("service: signed release 2 installed"), std::string::npos) << ServiceLog();
  // The same request again: nothing differs, nothing is installed twice.
  Stage(kStaging);
  EXPECT_EQ(Request(), ServiceOutcome::Installed);
  EXPECT_TRUE(IsRelease(kFolder, "new"));
}

TEST_F(ServiceSuite, EveryRefusalLeavesTheFolderAsItWas) {
  const std::string kept = ReadFileBytes(g_www + "signed\\ModelMD5.sig") + ReadFileBytes(g_www + "signed\\ModelMD5.dll");
  auto manifestOf = [](const char* published) {
    return [published] {
      for (const char* f : {"ModelMD5.dll", "ModelMD5.sig"})
        ::CopyFileW(W(g_www + published + "\\" + f).c_str(), W(kStaging + f).c_str(), FALSE);
    };
  };
  struct Row {
    const char* name;
    std::function<void()> prepare;
    std::function<ServiceOutcome()> request;
    ServiceOutcome expected;
  };
  const std::function<ServiceOutcome()> plain = [] { return Request(); };
  const Row rows[] = {
      {"a folder that is not registered", [] {
         RemoveTree(kRoot + "Other");
         ::CreateDirectoryW(W(kRoot + "Other").c_str(), nullptr);
       }, [] { return Request(kRoot + "Other\\"); }, ServiceOutcome::NotRegistered},
      {"the staging folder is a symbolic link", [] {}, [] { return Request(kFolder, kLinks + "dir-stage\\"); },
       ServiceOutcome::UnsafePath},
      {"a staged file is a symbolic link", [] {
         for (const char* f : {"ModelMD5.dll", "ModelMD5.sig"})
           ::CopyFileW(W(kStaging + f).c_str(), W(kLinks + "file-stage\\" + f).c_str(), FALSE);
       }, [] { return Request(kFolder, kLinks + "file-stage\\"); }, ServiceOutcome::UnsafeFile},
      {"a staged file changed after the updater checked it", [] {
         std::string bytes = ReadFileBytes(kStaging + "Velkor.dll.tmp");
         bytes[100] ^= 0x5A;
         WriteFileBytes(kStaging + "Velkor.dll.tmp", bytes);
       }, plain, ServiceOutcome::Mismatch},
      {"a staged file with a second name (a hard link)", [] {
         ::CreateDirectoryW(W(kRoot + "user\\elsewhere").c_str(), nullptr);
         const std::wstring other = W(kRoot + "user\\elsewhere\\Velkor.dll");
         ::DeleteFileW(other.c_str());
         ::MoveFileW(W(kStaging + "Velkor.dll.tmp").c_str(), other.c_str());
         ::CreateHardLinkW(W(kStaging + "Velkor.dll.tmp").c_str(), other.c_str(), nullptr);
       }, plain, ServiceOutcome::UnsafeFile},
      {"an older signed release than the folder trusts", [&] {
         WriteFileBytes(kFolder + "KeptRelease.dat", kept);
         manifestOf("signed-older")();
       }, plain, ServiceOutcome::NotTrusted},
      {"an expired signed release", manifestOf("signed-expired"), plain, ServiceOutcome::NotTrusted},
      {"an unsigned manifest", [] {
         ::CopyFileW(W(g_www + "release\\ModelMD5.dll").c_str(), W(kStaging + "ModelMD5.dll").c_str(), FALSE);
       }, plain, ServiceOutcome::NotSigned},
      {"a manifest signed with a key the service does not carry", manifestOf("signed-other"), plain,
       ServiceOutcome::NotSigned},
      {"no signature", [] { ::DeleteFileW(W(kStaging + "ModelMD5.sig").c_str()); }, plain, ServiceOutcome::UnsafeFile},
      {"a name outside the catalogue", [] { WriteFileBytes(kStaging + "evil.dll.tmp", "MZ"); }, plain,
       ServiceOutcome::UnsafeFile},
      {"a folder in the staging folder", [] { ::CreateDirectoryW(W(kStaging + "Velkor.dll.tmp.d").c_str(), nullptr); },
       plain, ServiceOutcome::UnsafeFile},
      {"an updater the signed release does not carry", [] {
         ::CopyFileW(W(g_service).c_str(), W(kStaging + "Updater.exe.tmp").c_str(), FALSE);
       }, plain, ServiceOutcome::Mismatch},
      {"a \"..\" step", [] {}, [] { return Request(kFolder, kStaging + "..\\stage\\"); }, ServiceOutcome::UnsafePath},
      {"an overlong path", [] {}, [] { return Request(kFolder, kRoot + std::string(220, 'a') + "\\"); },
       ServiceOutcome::UnsafePath},
      {"the staging folder inside the install folder", [] { Stage(kFolder + "stage\\"); },
       [] { return Request(kFolder, kFolder + "stage\\"); }, ServiceOutcome::UnsafePath},
      {"started with no arguments", [] {}, [] { return StartWith({}); }, ServiceOutcome::Arguments},
      {"started with the folder alone", [] {}, [] { return StartWith({W(kFolder)}); }, ServiceOutcome::Arguments},
      {"started with a third argument", [] {},
       [] { return StartWith({W(kFolder), W(kStaging), L"C:\\Windows\\System32\\cmd.exe"}); }, ServiceOutcome::Arguments},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    row.prepare();
    const auto before = Snapshot(kFolder);
    const ServiceOutcome outcome = row.request();
    ++g_cases;
    const bool same = Snapshot(kFolder) == before;
    EXPECT_EQ(outcome, row.expected);
    EXPECT_TRUE(same) << "the folder changed";
    EXPECT_NE(ServiceLog().rfind(ServiceOutcomeText(row.expected)), std::string::npos) << ServiceLog();
    if (outcome != row.expected || !same) ++g_breaks;
  }
}

TEST_F(ServiceSuite, ASecondRequestWhileOneRunsIsRefused) {
  // Two updaters (two processes, as two users' would be) ask at once. The
  // first request waits for a module held open by another program (the
  // installation waits for it a while); the second comes meanwhile.
  fw::ScopedFile held(::CreateFileW(W(kFolder + "Velkor.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  auto request = [](const std::string& staging) {
    return StartProcess(ProgramDirectory() + "service_tests.exe",
                        "--request \"" + Unslashed(kFolder) + "\" \"" + Unslashed(staging) + "\"");
  };
  const Process first = request(kStaging);
  const fw::ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const fw::ScopedService service(::OpenServiceW(manager.get(), kUpdateServiceName, SERVICE_QUERY_STATUS));
  const bool running = WaitUntil([&] {
    SERVICE_STATUS status{};
    return ::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
  }, 20000);
  Stage(kRoot + "user\\second\\");
  const auto second = static_cast<ServiceOutcome>(WaitForExit(request(kRoot + "user\\second\\"), 30000));
  held.reset();
  const auto outcome = static_cast<ServiceOutcome>(WaitForExit(first, 60000));
  ++g_cases;
  EXPECT_TRUE(running);
  EXPECT_EQ(second, ServiceOutcome::Busy);
  EXPECT_EQ(outcome, ServiceOutcome::Installed) << ServiceLog();
  EXPECT_TRUE(IsRelease(kFolder, "new"));
  if (second != ServiceOutcome::Busy || !IsRelease(kFolder, "new")) ++g_breaks;
}

TEST_F(ServiceSuite, KillSweepOverEveryStepOfTheServicesInstallation) {
  // The request served in a process of its own, as the service serves it,
  // stopped dead after each step; then served again whole.
  auto serve = [](int stopAt) {
    if (stopAt) ::SetEnvironmentVariableA(kStopAtStepVariable, std::to_string(stopAt).c_str());
    const Process child = StartProcess(ProgramDirectory() + "service_tests.exe",
                                       "--serve \"" + Unslashed(kFolder) + "\" \"" + Unslashed(kStaging) + "\"");
    ::SetEnvironmentVariableA(kStopAtStepVariable, nullptr);
    return WaitForExit(child, 60000);
  };
  ASSERT_EQ(serve(0), 0u) << ServiceLog();
  const std::string log = ServiceLog();
  const size_t at = log.rfind("installed in ");
  ASSERT_NE(at, std::string::npos) << log;
  const int steps = atoi(log.c_str() + log.find("; ", at) + 2);
  ASSERT_GT(steps, 17 * 3) << log;
  printf("the service's installation of 17 modules takes %d steps\n", steps);
  for (int n = 1; n <= steps; ++n) {
    SCOPED_TRACE("stopped after step " + std::to_string(n));
    SetUp();
    EXPECT_EQ(serve(n), kStoppedAtStepExitCode);
    ++g_cases;
    bool broken = false;
    for (const char* m : kCatalogueFiles) {
      const std::string now = ReadFileBytes(kFolder + m);
      if (now != ReadFileBytes(g_releaseDir + "old\\" + m) && now != ReadFileBytes(g_releaseDir + "new\\" + m)) {
        broken = true;
        ADD_FAILURE() << m << " is neither old nor new right after the stop";
      }
    }
    // The next request takes it up: the new release, whole, nothing left over.
    EXPECT_EQ(serve(0), 0u);
    if (!IsRelease(kFolder, "new") || FileExists(kFolder + "Install.journal") || FileExists(kFolder + "UpgradeBackup_P")) {
      broken = true;
      ADD_FAILURE() << "not the new release alone after the next request:\n" << ServiceLog();
    }
    if (broken) ++g_breaks;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Helper role: one request served in this process, as the service serves it.
  if (argc == 4 && std::string(argv[1]) == "--serve") {
    SendSupportLogOnlyTo(W(std::string(argv[2]) + "\\UpdaterService\\Service.log"));
    return static_cast<int>(ServeRequest({W(argv[2]), W(argv[3])}, LoadReleaseKeys(::GetModuleHandleW(nullptr))));
  }
  // Helper role: one request, as an updater makes it.
  if (argc == 4 && std::string(argv[1]) == "--request")
    return static_cast<int>(RequestServiceInstall(W(argv[2]), W(argv[3]), 60000));
  ::testing::InitGoogleTest(&argc, argv);
  if (argc < 4) {
    fprintf(stderr, "usage: service_tests KEYED_SERVICE RELEASE_DIR SERVER_WWW\n");
    return 2;
  }
  g_service = WindowsPath(argv[1]);
  g_releaseDir = WindowsPath(argv[2]) + "\\";
  g_www = WindowsPath(argv[3]) + "\\";
  const int result = RUN_ALL_TESTS();
  printf("service suite: %d cases, %d breaks\n", g_cases, g_breaks);
  return result;
}
