#include "swap.h"

#include <windows.h>

#include "common/file_ops.h"
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

bool starts_with(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The full path in one spelling: "/" as "\", no "\\?\" prefix, no trailing separators.
std::wstring comparable_path(const std::wstring& path) {
  std::wstring full = full_path(path);
  for (wchar_t& c : full) {
    if (c == L'/') c = L'\\';
  }
  if (starts_with(full, L"\\\\?\\UNC\\")) {
    full = L"\\\\" + full.substr(8);
  } else if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\??\\")) {
    full = full.substr(4);
  }
  while (!full.empty() && full.back() == L'\\') full.pop_back();
  return full;
}

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
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

bool staging_contains_install(const std::wstring& staging_dir, const std::wstring& install_dir) {
  const std::wstring stage = comparable_path(staging_dir);
  const std::wstring install = comparable_path(install_dir);
  if (stage.empty() || install.size() < stage.size()) return false;
  if (!equal_ignoring_case(std::wstring_view(install).substr(0, stage.size()), stage)) {
    return false;
  }
  return install.size() == stage.size() || install[stage.size()] == L'\\';
}

bool staging_is_program_folder(const std::wstring& staging_dir, const std::wstring& install_dir) {
  return equal_ignoring_case(comparable_path(staging_dir),
                             comparable_path(join(install_dir, std::wstring(kProgramFolderName))));
}

FailureReason check_staging_placement(const UpdateRequest& request) {
  // A staging directory that is the program folder itself would be moved aside with the backup,
  // restored by the rollback and then removed by the cleanup: the installed runtime would go.
  if (!staging_contains_install(request.staging_dir, request.install_dir) &&
      !staging_is_program_folder(request.staging_dir, request.install_dir)) {
    return std::nullopt;
  }
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
