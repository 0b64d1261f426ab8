#include "service/ServiceJob.h"

#include <windows.h>

#include <memory>
#include <optional>

#include "engine/install/FolderLock.h"
#include "engine/install/InstallPaths.h"
#include "engine/install/Installer.h"
#include "engine/install/Revert.h"
#include "engine/install/ServiceClient.h"
#include "engine/install/SetAside.h"
#include "engine/release/ModuleCatalogue.h"
#include "engine/release/ModuleDigest.h"
#include "engine/release/ReleaseTrust.h"
#include "engine/release/Rollout.h"
#include "engine/run/SupportLog.h"
#include "engine/transfer/ArrivalCheck.h"
#include "engine/transfer/DownloadWorker.h"
#include "framework/Files.h"
#include "framework/Paths.h"
#include "framework/Scoped.h"
#include "framework/Text.h"

namespace {

// A request refused: why, for the log and the exit code.
struct Refusal {
  ServiceOutcome outcome;
  std::string why;
};

// What the file system says a handle's path is, without "\\?\".
std::wstring FinalPathOf(HANDLE handle) {
  std::wstring path = fw::FinalPathOf(handle);
  if (path.compare(0, 4, L"\\\\?\\") == 0) path.erase(0, 4);
  return path;
}

// An entry of the staging folder, opened as itself (never what a link
// points to) and held against writes and renames while it is read. Null,
// with `why`, when it is a link of any kind, a folder, has another name
// (a hard link), or is not where its path says.
fw::ScopedFile OpenStagedFile(const std::wstring& path, std::string& why) {
  fw::ScopedFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !::GetFileInformationByHandle(file.get(), &info)) {
    why = "cannot be opened (error " + std::to_string(::GetLastError()) + ")";
  } else if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    why = "is a link or a folder";
  } else if (info.nNumberOfLinks != 1) {
    why = "has " + std::to_string(info.nNumberOfLinks) + " names (a hard link)";
  } else if (!SameFolderName(FinalPathOf(file.get()), path)) {
    why = "is not where its path says (a link on the way)";
  } else {
    return file;
  }
  return fw::ScopedFile();
}

std::optional<std::string> ReadStaged(const std::wstring& path, int64_t maxBytes, std::string& why) {
  const fw::ScopedFile file = OpenStagedFile(path, why);
  if (!file) return std::nullopt;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > maxBytes) {
    why = "is larger than " + std::to_string(maxBytes) + " bytes";
    return std::nullopt;
  }
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!bytes.empty() && (!::ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) ||
                         read != bytes.size())) {
    why = "cannot be read";
    return std::nullopt;
  }
  return bytes;
}

// The staged module copied, through the handle that was checked, into the
// service's own staging in the install folder (administrators only).
bool CopyStaged(const std::wstring& from, const std::wstring& to, std::string& why) {
  const fw::ScopedFile source = OpenStagedFile(from, why);
  if (!source) return false;
  fw::ScopedFile target(::CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!target) {
    why = "cannot be copied in (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  int64_t total = 0;
  for (;;) {
    DWORD read = 0, written = 0;
    if (!::ReadFile(source.get(), buffer.get(), 1 << 16, &read, nullptr)) {
      why = "cannot be read";
      return false;
    }
    if (read == 0) break;
    total += read;
    if (total > kModuleMaxBytes || !::WriteFile(target.get(), buffer.get(), read, &written, nullptr) || written != read) {
      why = total > kModuleMaxBytes ? "is larger than a module may be" : "cannot be copied in";
      return false;
    }
  }
  CountInstallStep();
  return true;
}

// The task the signed manifest makes of a module's installed name; nothing
// when the release does not carry that file.
std::optional<DownloadTask> SignedTask(const Manifest& manifest, const std::string& name) {
  const SignedRelease& release = *manifest.signedRelease;
  // The two programs that renew themselves; a running one is moved aside as a loaded module is.
  const auto program = [&](uint32_t messageId, const std::optional<std::string>& fingerprint,
                           const std::optional<SignedFile>& file) -> std::optional<DownloadTask> {
    if (!file || !fingerprint) return std::nullopt;
    return DownloadTask{messageId, name, {}, LowerCaseDigest(*fingerprint), file->sha256, file->size, {}, {}, {}};
  };
  if (name == kUpdaterFileName) return program(kUpdaterMessageId, manifest.updaterFingerprint, release.updater);
  if (name == kServiceFileName) return program(kServiceMessageId, manifest.serviceFingerprint, release.service);
  for (int row = 0; row < kModuleCount; ++row) {
    const ModuleEntry& entry = kModuleCatalogue[row];
    if (entry.LocalName() != name) continue;
    const auto it = release.modules.find(entry.baseName);
    if (it == release.modules.end() || !manifest.fingerprints[row]) return std::nullopt;
    return DownloadTask{entry.messageId, name, {}, LowerCaseDigest(*manifest.fingerprints[row]), it->second.sha256,
                        it->second.size, {}, {}, {}};
  }
  return std::nullopt;
}

class Job {
 public:
  Job(const ServiceRequest& request, const std::vector<std::string>& keys) : request_(request), keys_(keys) {}

  std::optional<Refusal> Serve();

 private:
  std::optional<Refusal> OpenStaging();
  std::optional<Refusal> ListStagedEntries();
  std::optional<Refusal> ReadStagedRelease();
  std::optional<Refusal> Revert();
  std::optional<Refusal> VerifyRelease();
  std::optional<Refusal> CopyModulesIn();
  std::optional<Refusal> Install();

  const ServiceRequest& request_;
  const std::vector<std::string>& keys_;
  const std::wstring& folder_ = request_.folder;
  fw::ScopedFile staging_;  // held: the staging folder cannot be renamed or replaced meanwhile
  std::vector<std::string> modules_;
  int entries_ = 0;
  bool revert_ = false;
  std::string manifestBytes_, signature_;
  std::optional<VerifiedManifest> verified_;
  std::vector<DownloadTask> tasks_;
};

std::optional<Refusal> Job::Serve() {
  if (auto refused = OpenStaging()) return refused;
  if (auto refused = ListStagedEntries()) return refused;
  if (entries_ == 0) {
    SupportLog(folder_, "service: nothing staged: the folder is whole, nothing else is done");
    return std::nullopt;
  }
  if (revert_) return Revert();
  if (auto refused = ReadStagedRelease()) return refused;
  if (auto refused = VerifyRelease()) return refused;
  if (auto refused = CopyModulesIn()) {
    DeletePath(folder_ + kStagingFolder, folder_);
    return refused;
  }
  return Install();
}

std::optional<Refusal> Job::OpenStaging() {
  staging_.reset(::CreateFileW(request_.staging.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!staging_ || !::GetFileInformationByHandle(staging_.get(), &info))
    return Refusal{ServiceOutcome::UnsafePath, "the staging folder cannot be opened"};
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return Refusal{ServiceOutcome::UnsafePath, "the staging folder is a link, or no folder"};
  if (!SameFolderName(FinalPathOf(staging_.get()), request_.staging))
    return Refusal{ServiceOutcome::UnsafePath, "the staging folder is not where its path says (a link on the way)"};
  return std::nullopt;
}

std::optional<Refusal> Job::ListStagedEntries() {
  WIN32_FIND_DATAW found{};
  const HANDLE search = ::FindFirstFileExW((request_.staging + L"*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return Refusal{ServiceOutcome::UnsafePath, "the staging folder cannot be listed"};
  std::optional<Refusal> refused;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::optional<StagedEntry> entry = StagedEntryOf(name);
    if (!entry || (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
      refused = Refusal{ServiceOutcome::UnsafeFile, "\"" + fw::Utf8(name) + "\" is not one of the release's files"};
      break;
    }
    ++entries_;
    if (entry->kind == StagedEntry::Module) modules_.push_back(entry->module);
    revert_ = revert_ || entry->kind == StagedEntry::Revert;
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  if (!refused && revert_ && entries_ != 1)
    refused = Refusal{ServiceOutcome::UnsafeFile, "a revert note comes alone"};
  return refused;
}

std::optional<Refusal> Job::ReadStagedRelease() {
  std::string why;
  const auto manifest = ReadStaged(request_.staging + fw::Ascii(kStagedManifestName), kStagedManifestMaxBytes, why);
  if (!manifest) return Refusal{ServiceOutcome::UnsafeFile, std::string("the staged manifest ") + why};
  const auto signature = ReadStaged(request_.staging + fw::Ascii(kStagedSignatureName), 4096, why);
  if (!signature) return Refusal{ServiceOutcome::UnsafeFile, std::string("the staged signature ") + why};
  manifestBytes_ = *manifest;
  signature_ = *signature;
  return std::nullopt;
}

std::optional<Refusal> Job::VerifyRelease() {
  std::optional<Manifest> manifest = VerifiedManifestOf(manifestBytes_, signature_, keys_);
  if (!manifest) return Refusal{ServiceOutcome::NotSigned, "the manifest's signature does not verify with the service's keys"};
  verified_ = VerifiedManifest{std::move(*manifest), signature_};
  // Judged against the folder's floor, kept only once it is installed.
  if (!TrustRelease(folder_, keys_, *verified_, manifestBytes_, "service", false))
    return Refusal{ServiceOutcome::NotTrusted, "signed release " + std::to_string(verified_->release().number) +
                                                   " may not be installed here (the line above says why)"};
  for (const std::string& module : modules_) {
    std::optional<DownloadTask> task = SignedTask(verified_->manifest, module);
    if (!task) return Refusal{ServiceOutcome::Mismatch, module + " is not in the signed release"};
    // What is in place already stays as it is (a request made again after a stop).
    if (!FileMatchesTask(PathIn(folder_, module), *task)) tasks_.push_back(*task);
  }
  return std::nullopt;
}

std::optional<Refusal> Job::CopyModulesIn() {
  if (tasks_.empty()) return std::nullopt;  // the release is in place already
  const std::wstring own = folder_ + kStagingFolder;
  DeletePath(own, folder_);
  if (!::CreateDirectoryW(own.c_str(), nullptr))
    return Refusal{ServiceOutcome::NotInstalled, "its staging cannot be made (error " + std::to_string(::GetLastError()) + ")"};
  CountInstallStep();
  for (const DownloadTask& task : tasks_) {
    std::string why;
    const std::wstring from = request_.staging + fw::Ascii(task.localFileName + ".tmp");
    if (!CopyStaged(from, StagedPath(folder_, task.localFileName), why))
      return Refusal{ServiceOutcome::UnsafeFile, "the staged " + task.localFileName + " " + why};
  }
  // Checked on the service's own copies, which no user can change any more.
  for (const DownloadTask& task : tasks_)
    if (!FileMatchesTask(StagedPath(folder_, task.localFileName), task))
      return Refusal{ServiceOutcome::Mismatch, "the staged " + task.localFileName + " differs from the signed manifest"};
  return std::nullopt;
}

std::optional<Refusal> Job::Install() {
  const Manifest& manifest = verified_->manifest;
  const std::string content = ReleaseContentId(manifest);
  const int64_t number = verified_->release().number;
  std::vector<bool> hadOld;
  for (const DownloadTask& task : tasks_) hadOld.push_back(fw::PathExists(PathIn(folder_, task.localFileName)));
  PrepareForInstallation(folder_, content);
  const bool onProbation = manifest.ProbationSeconds() > 0 && !tasks_.empty();
  std::vector<std::wstring> pending;
  if (!InstallModules(folder_, tasks_, pending, onProbation)) {
    DeletePath(folder_ + kStagingFolder, folder_);
    return Refusal{ServiceOutcome::NotInstalled, "the installation could not complete: the old release stays"};
  }
  RecordReleaseNumber(folder_, ReleaseRecord::Installed, number);
  TrustRelease(folder_, keys_, *verified_, manifestBytes_, "service", true);
  if (onProbation) RecordProbation(folder_, tasks_, hadOld, content, number);
  for (const std::wstring& path : pending) DeletePath(path, folder_);
  SupportLog(folder_, "service: signed release %lld installed in %s (%u file(s)); %d step(s)",
             static_cast<long long>(number), fw::Utf8(folder_).c_str(), static_cast<unsigned>(tasks_.size()),
             InstallSteps());
  return std::nullopt;
}

// The product failed on the release on probation: the previous release goes
// back, from what the service itself kept in the folder (its fingerprints
// in the record it wrote). Only the failure's details come from the user.
std::optional<Refusal> Job::Revert() {
  std::string why;
  const auto note = ReadStaged(request_.staging + fw::Ascii(kStagedRevertName), 4096, why);
  if (!note) return Refusal{ServiceOutcome::UnsafeFile, std::string("the revert note ") + why};
  const RevertedRelease failed = RevertedRelease::Parse(*note);
  std::optional<ProbationRecord> record = ReadProbation(folder_);
  if (!record || record->content != failed.content)
    return Refusal{ServiceOutcome::NotTrusted, "no release of that content is on probation here"};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  const auto seconds = [](const FILETIME& t) {
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000000;
  };
  if (!::GetFileAttributesExW((folder_ + kProbationRecordName).c_str(), GetFileExInfoStandard, &data) ||
      (!record->failed && seconds(now) > seconds(data.ftLastWriteTime) + kRevertWindowSeconds))
    return Refusal{ServiceOutcome::NotTrusted, "the release's probation is long over"};
  if (!record->failed) {
    record->failed = true;
    record->exitCode = failed.exitCode;
    record->seconds = failed.seconds;
    WriteProbation(folder_, *record);
  }
  if (!RevertRelease(folder_, *record))
    return Refusal{ServiceOutcome::NotInstalled, "the previous release could not be put back yet"};
  return std::nullopt;
}

// The folder is one the administrator registered, named as the file system
// names it (no link, no short name on the way).
std::optional<Refusal> CheckFolder(const ServiceRequest& request) {
  if (!IsRegisteredFolder(request.folder))
    return Refusal{ServiceOutcome::NotRegistered, "the install folder is not registered"};
  if (!SameFolderName(CanonicalFolder(request.folder), TrimTrailingSeparators(request.folder)))
    return Refusal{ServiceOutcome::UnsafePath, "the install folder is not named as the file system names it"};
  return std::nullopt;
}

// The service logs to its own file (SendSupportLogOnlyTo), whatever folder a line names.
const std::wstring kOwnLog = L"(service)";

ServiceOutcome Refuse(const Refusal& refusal) {
  SupportLog(kOwnLog, "service: %s: %s", ServiceOutcomeText(refusal.outcome), refusal.why.c_str());
  return refusal.outcome;
}

}  // namespace

ServiceOutcome ServeRequest(const std::vector<std::wstring>& arguments, const std::vector<std::string>& keys) {
  // Whatever a program passed, as one line of the log.
  std::wstring given;
  for (const std::wstring& argument : arguments) given += L" \"" + argument + L"\"";
  for (wchar_t& c : given)
    if (c < 32) c = L'?';
  SupportLog(kOwnLog, "service: request with %u argument(s):%s", static_cast<unsigned>(arguments.size()),
             fw::Utf8(given.substr(0, 600)).c_str());
  if (arguments.size() != 2) return Refuse({ServiceOutcome::Arguments, "expected an install folder and a staging folder"});
  const std::optional<ServiceRequest> request = ParseServiceRequest(arguments);
  if (!request)
    return Refuse({ServiceOutcome::UnsafePath, "the install folder or the staging folder is not an absolute local path "
                                               "of plain names within " + std::to_string(kMaxRequestPath) + " characters, "
                                               "or one lies in the other"});
  if (auto refused = CheckFolder(*request)) return Refuse(*refused);
  // One request per folder; an updater never runs in a registered folder.
  const FolderLock lock(request->folder);
  if (!lock.Held()) return Refuse({ServiceOutcome::Busy, "the install folder is busy"});
  if (!RecoverInterruptedInstallation(request->folder))
    return Refuse({ServiceOutcome::NotRecovered, "a module is still in use"});
  SettleProbation(request->folder);
  // What a renewal of a running program (this one's too) moved aside goes, now that it is free.
  RestoreSetAsideModules(request->folder);
  RemoveSetAsideLeftovers(request->folder);
  Job job(*request, keys);
  if (auto refused = job.Serve()) return Refuse(*refused);
  return ServiceOutcome::Installed;
}
