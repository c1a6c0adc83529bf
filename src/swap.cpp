#include "swap.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file_ops.h"
#include "common/identity.h"
#include "common/tree_removal.h"
#include "common/os_error.h"
#include "common/path.h"
#include "common/text.h"

namespace tavrio::updater {
namespace {

std::string with_error(std::string_view prefix, Status status) {
  std::string text(prefix);
  text += error_text(status);
  return text;
}

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

// Renames the staged folder in and puts the staged executable in place; the error of the first
// of them that fails.
Status move_new_version_in(const UpdatePaths& paths) {
  if (Status s = rename_path(paths.staged_program_folder, paths.program_folder); !s.ok()) return s;
  const std::wstring fresh = new_executable_path(paths);
  // A leftover of an interrupted run (even a read-only one) must not stand in the copy's way.
  (void)remove_file(fresh);
  Status copied = copy_file(paths.staged_exe, fresh);
  if (copied.ok()) copied = rename_path(fresh, paths.installed_exe);
  if (!copied.ok()) (void)remove_file(fresh);
  return copied;
}

}  // namespace

std::wstring new_executable_path(const UpdatePaths& paths) {
  return paths.installed_exe + std::wstring(kNewExecutableSuffix);
}

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

FailureReason check_exe_name(const UpdateRequest& request) {
  if (is_plain_file_name(request.exe_name)) return std::nullopt;
  std::string reason(kInvalidExeName);
  reason += display_form(request.exe_name);
  return reason;
}

FailureReason check_staging_placement(const UpdateRequest& request) {
  if (!stage_holds_installation(request)) return std::nullopt;
  std::string reason(kStagingContainsInstall);
  reason += display_form(request.staging_dir);
  return reason;
}

FailureReason check_package(const UpdatePaths& paths, const UpdateLog& log) {
  const std::wstring required[] = {
      paths.staged_exe,
      join(paths.staged_program_folder, std::wstring(kRuntimeLibraryName)),
      join(paths.staged_program_folder, std::wstring(kBaseLibraryName)),
  };
  for (const std::wstring& file : required) {
    if (!exists(file)) {
      std::string reason(kPackageIncomplete);
      reason += display_form(file);
      return reason;
    }
  }
  log.append(kCheckPassed);
  return std::nullopt;
}

FailureReason clear_old_backup(const UpdatePaths& paths) {
  if (!exists(paths.backup_folder)) return std::nullopt;
  if (Status s = remove_tree(paths.backup_folder); !s.ok()) {
    return with_error(kClearingBackupFailed, s);
  }
  return std::nullopt;
}

FailureReason back_up_program_folder(const UpdatePaths& paths, const UpdateLog& log,
                                     const Pause& pause) {
  Status last;
  for (int attempt = 1; attempt <= kBackupAttempts; ++attempt) {
    last = rename_path(paths.program_folder, paths.backup_folder);
    if (last.ok()) return std::nullopt;
    std::string line(kBackupLabel);
    line += kAttemptPrefix;
    line += decimal(static_cast<unsigned>(attempt));
    line += kAttemptFailed;
    line += error_text(last);
    log.append(line);
    pause(kBackupRetryPauseMs);
  }
  std::string reason(kBackupLabel);
  reason += kBackupFailedSuffix;
  reason += error_text(last);
  return reason;
}

ReplacementOutcome replace_program(const UpdatePaths& paths, const UpdateLog& log) {
  ReplacementOutcome outcome;
  Status replaced = move_new_version_in(paths);
  if (replaced.ok()) {
    log.append(kFilesReplaced);
    return outcome;
  }
  log.append(with_error(kRollingBack, replaced));
  // After a failed rename there is no program folder and this fails quietly; after a failed
  // executable it removes the new runtime that was moved in.
  (void)remove_tree(paths.program_folder);
  if (Status back = rename_path(paths.backup_folder, paths.program_folder); !back.ok()) {
    std::string line(kRollbackFailed);
    line += display_form(paths.backup_folder);
    line += kRollbackFailedSeparator;
    line += error_text(back);
    log.append(line);
    outcome.backup_stranded = true;
  }
  outcome.failure = with_error(kReplacementFailed, replaced);
  return outcome;
}

}  // namespace tavrio::updater
