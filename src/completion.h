// The end of every run past the command line: the uninstaller refresh, the two endings with the
// failure report, and the cleanup in two halves around the restart of the application: what
// must go before it starts, and the slow removal of whole trees after.
#pragma once

#include <string>
#include <string_view>

#include "messages.h"
#include "request.h"
#include "update_log.h"

namespace tavrio::updater {

// Copies a staged "卸载.exe" over the installed one and logs "卸载入口已更新", whether or not the
// copy worked; nothing at all without a staged uninstaller.
void refresh_uninstaller(const UpdatePaths& paths, const UpdateLog& log);

void end_with_success(const UpdateLog& log);

// Logs "更新失败：" and the reason, then writes the failure report into the install directory.
void end_with_failure(const UpdatePaths& paths, const std::wstring& log_path,
                      const Failure& failure, const UpdateLog& log);

// An interrupted update that this run finished: it ends as a success, and a report that the
// interrupted run may have left no longer tells the truth.
void end_with_completed_interruption(const UpdatePaths& paths, const UpdateLog& log);

// Create-or-truncate, then the whole text; every error is dropped.
void write_failure_report(const std::wstring& report_path, std::string_view text);

// What the cleanup must leave where it is.
struct Kept {
  // The rollback could not move the backup back: it is the previous runtime.
  bool backup_folder = false;
  // The staging directory was refused: it contains the installation.
  bool staging_dir = false;
  // Settling an interrupted run failed: nothing more is deleted but the two markers.
  bool everything = false;
  // The executable name was refused: no path made from it is touched or started.
  bool exe_name_refused = false;
};

// Trees moved out of the way before the restart, deleted after it.
struct Trash {
  std::wstring backup_folder;
  std::wstring staging_dir;
};

// Before the restart: removes the pending-update marker, the update lock and a leftover new
// executable, and renames the backup folder (only once the program folder is in place and the
// swap is settled) and the staging directory to rubbish names on their own volumes. A tree that
// cannot be renamed is removed in place.
Trash clean_up_before_restart(const UpdatePaths& paths, const Kept& kept);

// After the restart: deletes the renamed trees and any rubbish an interrupted run left (the
// exact names these runs give, never following a link), then the journal: only now is the run
// over.
void clean_up_after_restart(const UpdatePaths& paths, const Trash& trash, const Kept& kept);

// Starts the installed executable, when it exists, in the install directory with no arguments;
// never waits and never reports.
void restart_application(const UpdatePaths& paths);

}  // namespace tavrio::updater
