// Swapping the program folder: the refusals of an unsafe executable name or staging directory,
// the package check, clearing an old backup, the new executable made ready, the backup with its
// retries, the replacement and the rollback. Each step gives nothing on success or the failure
// that ends the update. The swap's journal records each step that moved something.
#pragma once

#include <optional>
#include <string_view>

#include "messages.h"
#include "pause.h"
#include "request.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr size_t kMaxFileNameLength = 255;  // what a file system allows in one name
inline constexpr int kBackupAttempts = 6;
inline constexpr unsigned kBackupRetryPauseMs = 2000;

using StepFailure = std::optional<Failure>;

// True for a name that can only mean a file directly in the folder it is joined to: no "\" or
// "/", no ":", not "." or "..", no trailing dot or space (Win32 drops them, so the name would
// mean another file), no character that file names cannot hold, not a device name (CON, NUL,
// COM1... also with an extension), at most 255 characters.
bool is_plain_file_name(std::wstring_view name);

// Refuses an executable name that is not a plain file name: joined to the install or staging
// directory it could name a file outside both.
StepFailure check_exe_name(const UpdateRequest& request);

// Refuses a staging directory that is the install directory, one of the folders above it or its
// program folder, whatever their spelling (they are compared by identity): removing the staging
// directory afterwards would remove the installation. A staging directory at the root of a
// volume is always refused, and so is every one when the install directory cannot be opened,
// since nothing can then be proven about it. One that cannot be opened is left to the package
// check.
StepFailure check_staging_placement(const UpdateRequest& request);

// The staged executable, python312.dll and base_library.zip must exist; the first missing one is
// named. When the staging directory holds a package manifest, the staged files must then match
// it. Logs "校验通过" when all is well.
StepFailure check_package(const UpdatePaths& paths, const UpdateLog& log);

// Writes the journal's first step before the install directory is changed at all. A journal
// that cannot be written ends the update before anything moved.
StepFailure start_journal(const UpdatePaths& paths, const UpdateLog& log);

// Removes a backup folder left by an earlier run, while the program folder is in place (an
// interrupted swap has been settled by then); the backup never runs over an old one.
StepFailure clear_old_backup(const UpdatePaths& paths);

// Copies the staged executable to "<exe>.new" and flushes it to disk before anything of the
// installation moves, so that after the replacement only renames remain.
Status make_new_executable(const UpdatePaths& paths);

// The same as a step of the swap: a failure logs "替换失败，回滚中：" like any failed replacement;
// nothing was moved.
StepFailure prepare_new_executable(const UpdatePaths& paths, const UpdateLog& log);

// Renames the program folder to the backup folder, up to six attempts with a 2 s pause after
// every failed one (the application may still be letting go of its files).
StepFailure back_up_program_folder(const UpdatePaths& paths, const UpdateLog& log,
                                   const Pause& pause);

// Flushes the journal's last step to disk: after the restart, off the time the application is
// away.
void make_journal_durable(const UpdatePaths& paths);

// A swap that ends before the backup: the journal goes (nothing moved), and so does the new
// executable that was made ready.
void abandon_swap(const UpdatePaths& paths);

struct ReplacementOutcome {
  StepFailure failure;
  // The rollback could not move the backup back: it holds the only complete copy of the
  // previous runtime and must stay where it is.
  bool backup_stranded = false;
};

// Moves the staged program folder into place and renames "<exe>.new" over the installed
// executable; on a failure of either, rolls back to the backup. Logs "文件已替换" on success,
// when the journal says the swap has finished.
ReplacementOutcome replace_program(const UpdatePaths& paths, const UpdateLog& log);

}  // namespace tavrio::updater
