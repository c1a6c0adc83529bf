#include "completion.h"

#include <windows.h>

#include "common/clock.h"
#include "common/bundle.h"
#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "common/stage.h"
#include "common/text.h"
#include "common/tree_removal.h"
#include "messages.h"

namespace tavrio::updater {
namespace {

// Empties a report that an earlier failed run left behind. Truncating keeps the file (and what
// the application may hold of it) in place, where deleting and recreating would not.
void truncate(HANDLE file) {
  FILE_ALLOCATION_INFO allocation{};
  if (calls::set_file_information(file, FileAllocationInfo, &allocation, sizeof allocation)) {
    return;
  }
  FILE_END_OF_FILE_INFO end{};
  calls::set_file_information(file, FileEndOfFileInfo, &end, sizeof end);
}

// Renames a tree out of the way, to be deleted after the restart; removes it in place when the
// rename fails. Whether it now lies under its trash name.
bool move_aside(const std::wstring& folder, const std::wstring& trash) {
  if (!exists(folder)) return false;
  // Anything but a real folder (a plain file, a link) is left to the tree removal as it is.
  if (!is_directory(folder)) {
    (void)remove_tree(folder);
    return false;
  }
  if (rename_path(folder, trash).ok()) return true;
  (void)remove_tree(folder);
  return false;
}

// Deletes the trash of `original` that lies beside it: real folders only, a link of that name
// stays as it is.
void remove_trash_of(const std::wstring& original) {
  const std::wstring folder = text_before_last_separator(original);
  const std::wstring name = last_component(original);
  std::vector<std::wstring> names;
  if (folder.empty() || !list_names(folder, &names).ok()) return;
  for (const std::wstring& candidate : names) {
    if (!bundle::is_trash_of(candidate, name)) continue;
    const std::wstring path = join(folder, candidate);
    if (is_directory(path)) (void)remove_tree(path);
  }
}

// Writes what the system still holds of a folder's entries (renames into it) to the disk; on a
// file system that cannot flush a folder this does nothing, and the journal's flush after it is
// what is left.
void flush_folder(const std::wstring& folder) {
  UniqueFile handle = open_path(folder, GENERIC_WRITE, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle) calls::flush_file_buffers(handle.get());
}

}  // namespace

void write_failure_report(const std::wstring& report_path, std::string_view text) {
  UniqueFile file = open_path(report_path, GENERIC_WRITE, 0, {.disposition = OPEN_ALWAYS});
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (!file) return;
  if (existed) truncate(file.get());
  write_all(file.get(), text);
}

void end_update(const Layout& layout, const Outcome& outcome, const UpdateLog& log) {
  switch (outcome.ending) {
    case Ending::kFailed:
      log.append(update_failed_line(outcome.failure));
      write_failure_report(layout.failure_report,
                           failure_report_text(time_of_day_stamp(), failure_reason(outcome.failure),
                                               layout.log_path));
      return;
    case Ending::kSucceeded:
      // The copy itself tells whether there is a staged uninstaller: a check before it could
      // fail on its own and skip the refresh without a word.
      if (Status copied = copy_file(layout.staged_uninstaller, layout.installed_uninstaller);
          copied.ok()) {
        log.append(kUninstallerRefreshed);
      } else if (copied.code() != ERROR_FILE_NOT_FOUND && copied.code() != ERROR_PATH_NOT_FOUND) {
        log.append(uninstaller_refresh_failed_line(copied));
      }
      break;
    case Ending::kCompletedInterruption:
      // A report that the interrupted run may have left no longer tells the truth.
      log.append(kInterruptedUpdateCompleted);
      (void)remove_file(layout.failure_report);
      break;
  }
  log.append(kUpdateSucceeded);
}

Kept what_to_keep(const Outcome& outcome) {
  if (outcome.ending != Ending::kFailed) return {};
  Kept kept = failure_row(outcome.failure.step()).keeps;
  kept.backup_folder = outcome.backup_stranded;
  return kept;
}

Trash clean_up_before_restart(const Layout& layout, const Kept& kept) {
  Trash trash;
  // The markers go in every case: left in place after a failed recovery, they would have the
  // application start the updater again at every start, failing the same way each time.
  (void)remove_file(layout.pending_marker);
  (void)remove_file(layout.update_lock);
  if (kept.unsettled_swap) return trash;
  if (!kept.exe_name_refused) (void)remove_file(layout.new_executable);
  // Without the program folder in place the backup is the last copy of a runtime.
  if (!kept.backup_folder && exists(layout.program_folder)) {
    trash.backup_folder = move_aside(layout.backup_folder, layout.backup_trash);
  }
  // The swap has taken the executable and the program folder by now; the updater itself makes
  // nothing in the staging directory.
  if (!kept.staging_dir && bundle::holds_only_a_stage(layout.staging_dir, layout.exe_name)) {
    trash.staging_dir = move_aside(layout.staging_dir, layout.staging_trash);
  }
  return trash;
}

void clean_up_after_restart(const Layout& layout, const Trash& trash, const Kept& kept) {
  if (kept.unsettled_swap) return;
  // The renames of the swap, the executable's included, reach the disk here, after the restart
  // and before the journal's last step and the removal of the backup that depend on them.
  flush_folder(layout.install_dir);
  if (exists(layout.journal)) (void)flush_file(layout.journal);
  if (trash.backup_folder) (void)remove_tree(layout.backup_trash);
  if (trash.staging_dir) (void)remove_tree(layout.staging_trash);
  remove_trash_of(layout.backup_folder);
  if (!kept.staging_dir) remove_trash_of(layout.staging_dir);
  (void)remove_file(layout.journal_temporary);
  // A stranded backup keeps its journal: the next run then finishes the rollback.
  if (!kept.backup_folder) (void)remove_file(layout.journal);
}

UniqueProcess restart_application(const Layout& layout, const UpdateLog& log, const Pause& pause) {
  UniqueProcess started;
  ProcessStart start;
  start.program = layout.installed_exe;
  start.current_directory = layout.install_dir;
  for (int attempt = 1; attempt <= kRestartAttempts; ++attempt) {
    // Asked only after a failed start: a test of its presence made first could be refused for a
    // moment and leave the application not started at all.
    const Status failed = start_process(start, &started);
    if (failed.ok() || !exists(layout.installed_exe)) break;
    log.append(restart_attempt_line(attempt, failed));
    if (attempt < kRestartAttempts) pause(kRestartPauseMs);
  }
  return started;
}

void wait_until_ready(const UniqueProcess& application) {
  if (!application) return;
  // Loaded only now, after the restart: the updater's own start stays free of the window
  // system, and it is a system DLL from the system folder.
  HMODULE user32 = ::LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (user32 == nullptr) return;
  using WaitForInputIdleFn = DWORD(WINAPI*)(HANDLE, DWORD);
  FARPROC found = ::GetProcAddress(user32, "WaitForInputIdle");
  if (found != nullptr) {
    reinterpret_cast<WaitForInputIdleFn>(reinterpret_cast<void*>(found))(application.get(),
                                                                         kReadyWaitMs);
  }
  ::FreeLibrary(user32);
}

}  // namespace tavrio::updater
