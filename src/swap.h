// Swapping the program folder: the refusals of an unsafe executable name or staging directory,
// the package check, clearing an old backup, the backup with its retries, the replacement and
// the rollback. Each step gives nothing on success or the failure reason that ends the update.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "pause.h"
#include "request.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr std::string_view kStagingContainsInstall = "暂存目录包含安装目录，拒绝更新：";
inline constexpr std::string_view kInvalidExeName = "主程序名无效，拒绝更新：";
inline constexpr std::string_view kPackageIncomplete = "准备好的文件不完整，缺少 ";
inline constexpr std::string_view kClearingBackupFailed = "清理上次的备份失败：";
inline constexpr std::string_view kBackupFailedSuffix = "失败：";  // behind kBackupLabel
inline constexpr std::string_view kReplacementFailed = "替换失败：";

inline constexpr std::wstring_view kRuntimeLibraryName = L"python312.dll";
inline constexpr std::wstring_view kBaseLibraryName = L"base_library.zip";
// The new executable is written beside the installed one under this suffix and then renamed
// over it, so the installed executable is never left half-written.
inline constexpr std::wstring_view kNewExecutableSuffix = L".new";

inline constexpr size_t kMaxFileNameLength = 255;  // what a file system allows in one name

inline constexpr int kBackupAttempts = 6;
inline constexpr unsigned kBackupRetryPauseMs = 2000;

using FailureReason = std::optional<std::string>;

// True for a name that can only mean a file directly in the folder it is joined to: no "\" or
// "/", no ":", not "." or "..", no trailing dot or space (Win32 drops them, so the name would
// mean another file), no character that file names cannot hold, not a device name (CON, NUL,
// COM1... also with an extension), at most 255 characters.
bool is_plain_file_name(std::wstring_view name);

// Refuses an executable name that is not a plain file name: joined to the install or staging
// directory it could name a file outside both.
FailureReason check_exe_name(const UpdateRequest& request);

// Refuses a staging directory that is the install directory, one of the folders above it or its
// program folder, whatever their spelling (they are compared by identity): removing the staging
// directory afterwards would remove the installation. A staging directory at the root of a
// volume is always refused, and so is every one when the install directory cannot be opened,
// since nothing can then be proven about it. One that cannot be opened is left to the package
// check.
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
