#include "completion.h"

#include <windows.h>

#include <algorithm>
#include <iterator>

#include "common/clock.h"
#include "common/entry_handles.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "common/text.h"
#include "common/trash_name.h"
#include "common/tree_removal.h"
#include "journal.h"

namespace tavrio::updater {
namespace {

constexpr wchar_t kJournalTemporarySuffix[] = L".tmp";

// Empties a report that an earlier failed run left behind. Truncating keeps the file (and what
// the application may hold of it) in place, where deleting and recreating would not.
void truncate(HANDLE file) {
  FILE_ALLOCATION_INFO allocation{};
  if (::SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation)) {
    return;
  }
  FILE_END_OF_FILE_INFO end{};
  ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
}

// Renames a tree out of the way, to be deleted after the restart; removes it in place when the
// rename fails. The new name, or nothing.
std::wstring move_aside(const std::wstring& folder) {
  if (!exists(folder)) return {};
  // Anything but a real folder (a plain file, a link) is left to the tree removal as it is.
  if (!is_directory(folder)) {
    (void)remove_tree(folder);
    return {};
  }
  const std::wstring trash = trash_name(folder, ::GetCurrentProcessId(), ::GetTickCount64());
  if (rename_path(folder, trash).ok()) return trash;
  (void)remove_tree(folder);
  return {};
}

// Whether the staging directory holds nothing but what a stage holds: the executable, the program
// folder and the uninstaller (the swap has taken the first two by now; the updater itself makes
// nothing there). A folder with anything else in it is not a stage but a folder named by mistake,
// the user's profile or a folder of documents, and is left as it is. So is anything but a real
// folder.
bool holds_only_a_stage(const UpdatePaths& paths) {
  std::vector<std::wstring> names;
  if (!is_directory(paths.staging_dir) || !list_names(paths.staging_dir, &names).ok()) {
    return false;
  }
  const std::wstring staged[] = {last_component(paths.staged_exe),
                                 last_component(paths.staged_program_folder),
                                 last_component(paths.staged_uninstaller)};
  return std::all_of(names.begin(), names.end(), [&](const std::wstring& name) {
    return std::any_of(std::begin(staged), std::end(staged),
                       [&](const std::wstring& entry) { return same_name(name, entry); });
  });
}

// Whether the backup is no longer the last copy of a runtime: the program folder is in place and
// no swap is left unsettled (the journal is gone, or says the swap has finished).
bool backup_may_go(const UpdatePaths& paths) {
  if (!exists(paths.program_folder)) return false;
  if (!exists(paths.journal)) return true;
  std::optional<Journal> journal = read_journal(paths.journal);
  return journal && journal->step == SwapStep::kFinished;
}

// Deletes the rubbish of `original` that lies beside it: real folders only, a link of that name
// stays as it is.
void remove_rubbish_of(const std::wstring& original) {
  const std::wstring folder = text_before_last_separator(original);
  const std::wstring name = last_component(original);
  std::vector<std::wstring> names;
  if (folder.empty() || !list_names(folder, &names).ok()) return;
  for (const std::wstring& candidate : names) {
    if (!is_trash_of(candidate, name)) continue;
    const std::wstring path = join(folder, candidate);
    if (is_directory(path)) (void)remove_tree(path);
  }
}

}  // namespace

void refresh_uninstaller(const UpdatePaths& paths, const UpdateLog& log) {
  if (!exists(paths.staged_uninstaller)) return;
  (void)copy_file(paths.staged_uninstaller, paths.installed_uninstaller);
  log.append(kUninstallerRefreshed);
}

void end_with_success(const UpdateLog& log) {
  log.append(kUpdateSucceeded);
}

void end_with_completed_interruption(const UpdatePaths& paths, const UpdateLog& log) {
  log.append(kInterruptedUpdateCompleted);
  (void)remove_file(paths.failure_report);
  end_with_success(log);
}

void write_failure_report(const std::wstring& report_path, std::string_view text) {
  const std::wstring path = win32_path(report_path);
  UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, 0, nullptr));
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (!file) return;
  if (existed) truncate(file.get());
  write_all(file.get(), text);
}

void end_with_failure(const UpdatePaths& paths, const std::wstring& log_path,
                      const Failure& failure, const UpdateLog& log) {
  log.append(update_failed_line(failure));
  write_failure_report(paths.failure_report,
                       failure_report_text(time_of_day_stamp(), failure_reason(failure), log_path));
}

Trash clean_up_before_restart(const UpdatePaths& paths, const Kept& kept) {
  Trash trash;
  // The markers go in every case: left in place after a failed recovery, they would have the
  // application start the updater again at every start, failing the same way each time.
  (void)remove_file(paths.pending_marker);
  (void)remove_file(paths.update_lock);
  if (kept.everything) return trash;
  if (!kept.exe_name_refused) (void)remove_file(paths.new_executable);
  if (!kept.backup_folder && backup_may_go(paths))
    trash.backup_folder = move_aside(paths.backup_folder);
  if (!kept.staging_dir && holds_only_a_stage(paths)) {
    trash.staging_dir = move_aside(paths.staging_dir);
  }
  return trash;
}

void clean_up_after_restart(const UpdatePaths& paths, const Trash& trash, const Kept& kept) {
  if (kept.everything) return;
  if (!trash.backup_folder.empty()) (void)remove_tree(trash.backup_folder);
  if (!trash.staging_dir.empty()) (void)remove_tree(trash.staging_dir);
  remove_rubbish_of(paths.backup_folder);
  if (!kept.staging_dir) remove_rubbish_of(paths.staging_dir);
  (void)remove_file(paths.journal + kJournalTemporarySuffix);
  // A stranded backup keeps its journal: the next run then finishes the rollback.
  if (!kept.backup_folder) (void)remove_file(paths.journal);
}

void restart_application(const UpdatePaths& paths) {
  if (!exists(paths.installed_exe)) return;
  ProcessStart start;
  start.program = paths.installed_exe;
  start.current_directory = paths.install_dir;
  (void)start_process(start);
}

}  // namespace tavrio::updater
