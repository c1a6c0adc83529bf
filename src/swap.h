// Swapping the program folder: the package check, clearing an old backup, the backup with its
// retries, the replacement and the rollback. Each step gives nothing on success or the failure
// reason that ends the update.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pause.h"
#include "request.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr std::string_view kStagingContainsInstall = "暂存目录包含安装目录，拒绝更新：";
inline constexpr std::string_view kPackageIncomplete = "准备好的文件不完整，缺少 ";
inline constexpr std::string_view kClearingBackupFailed = "清理上次的备份失败：";
inline constexpr std::string_view kBackupFailedSuffix = "失败：";  // behind kBackupLabel
inline constexpr std::string_view kReplacementFailed = "替换失败：";

inline constexpr std::wstring_view kRuntimeLibraryName = L"python312.dll";
inline constexpr std::wstring_view kBaseLibraryName = L"base_library.zip";
// The new executable is written beside the installed one under this suffix and then renamed
// over it, so the installed executable is never left half-written.
inline constexpr std::wstring_view kNewExecutableSuffix = L".new";

inline constexpr int kBackupAttempts = 6;
inline constexpr unsigned kBackupRetryPauseMs = 2000;

using FailureReason = std::optional<std::string>;

// True when the staging directory is the install directory or lies above it (full paths, case
// and separator kind ignored, whole components compared): removing the staging directory
// afterwards would remove the installation.
bool staging_contains_install(const std::wstring& staging_dir, const std::wstring& install_dir);

// True when the staging directory is the install directory's program folder ("_internal").
bool staging_is_program_folder(const std::wstring& staging_dir, const std::wstring& install_dir);

// Refuses a staging directory that contains the installation or is its program folder.
FailureReason check_staging_placement(const UpdateRequest& request);

// The staged executable, python312.dll and base_library.zip must exist; the first missing one is
// named. Logs "校验通过" when all are there.
FailureReason check_package(const UpdatePaths& paths, const UpdateLog& log);

// Removes a backup folder left by an earlier run; the backup never runs over an old one.
FailureReason clear_old_backup(const UpdatePaths& paths);

// Renames the program folder to the backup folder, up to six attempts with a 2 s pause after
// every failed one (the application may still be letting go of its files).
FailureReason back_up_program_folder(const UpdatePaths& paths, const UpdateLog& log,
                                     const Pause& pause);

struct ReplacementOutcome {
  FailureReason failure;
  // The rollback could not move the backup back: it holds the only complete copy of the
  // previous runtime and must stay where it is.
  bool backup_stranded = false;
};

// Moves the staged program folder into place and puts the staged executable over the installed
// one; on a failure of either, rolls back to the backup. Logs "文件已替换" on success.
ReplacementOutcome replace_program(const UpdatePaths& paths, const UpdateLog& log);

std::wstring new_executable_path(const UpdatePaths& paths);

}  // namespace tavrio::updater
