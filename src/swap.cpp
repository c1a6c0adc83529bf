#include "swap.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file_ops.h"
#include "common/identity.h"
#include "common/os_error.h"
#include "common/path.h"
#include "common/tree_removal.h"
#include "journal.h"
#include "package_manifest.h"

namespace tavrio::updater {
namespace {

// Names that Win32 takes for a device in any folder, also with an extension ("NUL.exe").
constexpr std::wstring_view kDeviceNames[] = {
    L"CON",  L"PRN",       L"AUX",       L"NUL",       L"CONIN$",    L"CONOUT$", L"COM0",
    L"COM1", L"COM2",      L"COM3",      L"COM4",      L"COM5",      L"COM6",    L"COM7",
    L"COM8", L"COM9",      L"COM\u00B9", L"COM\u00B2", L"COM\u00B3", L"LPT0",    L"LPT1",
    L"LPT2", L"LPT3",      L"LPT4",      L"LPT5",      L"LPT6",      L"LPT7",    L"LPT8",
    L"LPT9", L"LPT\u00B9", L"LPT\u00B2", L"LPT\u00B3",
};

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool is_device_name(std::wstring_view name) {
  std::wstring_view stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.remove_suffix(1);
  for (std::wstring_view device : kDeviceNames) {
    if (equal_ignoring_case(stem, device)) return true;
  }
  return false;
}

bool contains(const std::vector<FileIdentity>& identities, const FileIdentity& identity) {
  return std::find(identities.begin(), identities.end(), identity) != identities.end();
}

bool stage_holds_installation(const UpdateRequest& request) {
  if (is_volume_root(request.staging_dir)) return true;
  std::optional<std::vector<FileIdentity>> install = folder_and_ancestors(request.install_dir);
  if (!install) return true;
  std::optional<FileIdentity> stage = identity_of(request.staging_dir);
  if (!stage) return false;
  // A staging directory that is the program folder itself would be moved aside with the backup,
  // restored by the rollback and then removed by the cleanup: the installed runtime would go.
  std::optional<FileIdentity> program_folder =
      identity_of(join(request.install_dir, std::wstring(kProgramFolderName)));
  return contains(*install, *stage) || (program_folder && *program_folder == *stage);
}

// A journal that cannot be updated only costs the next run its knowledge of this step; the
// swap itself goes on. The steps on the way to the restart are not waited for on the disk, so
// that the application is not kept waiting: the backup and the replacement tell the next run by
// themselves which of them happened (the program folder, the backup and the staged program
// folder are there or not), and "finished" is flushed right after the restart. A rollback is
// flushed at once.
void record(const UpdatePaths& paths, SwapStep step) {
  const bool on_disk_anyway = step != SwapStep::kRollingBack;
  (void)write_journal(paths.journal, {step, paths.staging_dir},
                      on_disk_anyway ? Durability::kCached : Durability::kFlushed);
}

// Renames the staged folder in and then the ready executable over the installed one; the error
// of the first of them that fails.
Status move_new_version_in(const UpdatePaths& paths) {
  if (Status s = rename_path(paths.staged_program_folder, paths.program_folder); !s.ok()) return s;
  record(paths, SwapStep::kReplaced);
  return rename_path(paths.new_executable, paths.installed_exe, RenameFlush::kWriteThrough);
}

// Puts the backup back: the new runtime that was moved in goes first (after a failed rename
// there is none and this fails quietly). The journal says so first, so that a run cut off here
// is finished the same way by the next one.
Status roll_back(const UpdatePaths& paths) {
  record(paths, SwapStep::kRollingBack);
  (void)remove_tree(paths.program_folder);
  if (Status back = rename_path(paths.backup_folder, paths.program_folder); !back.ok()) {
    return back;
  }
  (void)remove_file(paths.journal);
  return {};
}

}  // namespace

bool is_plain_file_name(std::wstring_view name) {
  if (name.empty() || name.size() > kMaxFileNameLength || name == L"." || name == L"..") {
    return false;
  }
  if (name.back() == L'.' || name.back() == L' ') return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wstring_view(L"\\/:*?\"<>|").find(c) != std::wstring_view::npos) {
      return false;
    }
  }
  return !is_device_name(name);
}

StepFailure check_exe_name(const UpdateRequest& request) {
  if (is_plain_file_name(request.exe_name)) return std::nullopt;
  return Failure{FailedStep::kExeNameRefused, {}, request.exe_name};
}

StepFailure check_staging_placement(const UpdateRequest& request) {
  if (!stage_holds_installation(request)) return std::nullopt;
  return Failure{FailedStep::kStagingRefused, {}, request.staging_dir};
}

StepFailure check_package(const UpdatePaths& paths, const UpdateLog& log) {
  const std::wstring required[] = {
      paths.staged_exe,
      join(paths.staged_program_folder, std::wstring(kRuntimeLibraryName)),
      join(paths.staged_program_folder, std::wstring(kBaseLibraryName)),
  };
  for (const std::wstring& file : required) {
    if (!exists(file)) return Failure{FailedStep::kPackageIncomplete, {}, file};
  }
  // Without a manifest the three files are all there is to check.
  ManifestCheck manifest = check_package_manifest(paths.staging_dir);
  if (manifest.verdict == ManifestVerdict::kDamaged) {
    return Failure{FailedStep::kPackageDamaged, {}, std::move(manifest.damaged_path)};
  }
  if (manifest.verdict == ManifestVerdict::kInvalid) {
    return Failure{FailedStep::kManifestInvalid, {}, {}, std::move(manifest.error)};
  }
  log.append(kCheckPassed);
  return std::nullopt;
}

StepFailure start_journal(const UpdatePaths& paths, const UpdateLog& log) {
  Status written = write_journal(paths.journal, {SwapStep::kStarted, paths.staging_dir});
  if (written.ok()) return std::nullopt;
  log.append(rolling_back_line(written));
  return Failure{FailedStep::kReplacement, written, {}};
}

StepFailure clear_old_backup(const UpdatePaths& paths) {
  // Without the program folder the backup may be the only copy of the runtime: it stays.
  if (!exists(paths.backup_folder) || !exists(paths.program_folder)) return std::nullopt;
  if (Status s = remove_tree(paths.backup_folder); !s.ok()) {
    return Failure{FailedStep::kClearingBackup, s, {}};
  }
  return std::nullopt;
}

Status make_new_executable(const UpdatePaths& paths) {
  // A leftover of an interrupted run (even a read-only one) must not stand in the copy's way.
  (void)remove_file(paths.new_executable);
  Status ready = copy_file(paths.staged_exe, paths.new_executable);
  if (ready.ok()) ready = flush_file(paths.new_executable);
  if (!ready.ok()) (void)remove_file(paths.new_executable);
  return ready;
}

StepFailure prepare_new_executable(const UpdatePaths& paths, const UpdateLog& log) {
  Status ready = make_new_executable(paths);
  if (ready.ok()) return std::nullopt;
  log.append(rolling_back_line(ready));
  return Failure{FailedStep::kReplacement, ready, {}};
}

StepFailure back_up_program_folder(const UpdatePaths& paths, const UpdateLog& log,
                                   const Pause& pause) {
  Status last;
  for (int attempt = 1; attempt <= kBackupAttempts; ++attempt) {
    last = rename_path(paths.program_folder, paths.backup_folder);
    if (last.ok()) {
      record(paths, SwapStep::kBackedUp);
      return std::nullopt;
    }
    log.append(backup_attempt_line(attempt, last));
    pause(kBackupRetryPauseMs);
  }
  return Failure{FailedStep::kBackup, last, {}};
}

void make_journal_durable(const UpdatePaths& paths) {
  if (exists(paths.journal)) (void)flush_file(paths.journal);
}

void abandon_swap(const UpdatePaths& paths) {
  (void)remove_file(paths.new_executable);
  (void)remove_file(paths.journal);
}

ReplacementOutcome replace_program(const UpdatePaths& paths, const UpdateLog& log) {
  ReplacementOutcome outcome;
  Status replaced = move_new_version_in(paths);
  if (replaced.ok()) {
    record(paths, SwapStep::kFinished);
    log.append(kFilesReplaced);
    return outcome;
  }
  log.append(rolling_back_line(replaced));
  if (Status back = roll_back(paths); !back.ok()) {
    log.append(rollback_failed_line(paths.backup_folder, back));
    outcome.backup_stranded = true;
  }
  outcome.failure = Failure{FailedStep::kReplacement, replaced, {}};
  return outcome;
}

}  // namespace tavrio::updater
