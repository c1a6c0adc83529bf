#include "cleanup.h"

#include <windows.h>
#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "common/stage.h"
#include "common/trash.h"
#include "common/tree_removal.h"

namespace tavrio::updater {
namespace {

// Writes what the system still holds of a folder's entries (renames into it) to the disk; on a
// file system that cannot flush a folder this does nothing, and the journal's flush after it is
// what is left.
void flush_folder(const std::wstring& folder) {
  UniqueFile handle = open_path(folder, GENERIC_WRITE, FILE_FLAG_BACKUP_SEMANTICS);
  if (handle) calls::flush_file_buffers(handle.get());
}

}  // namespace

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
    trash.backup_folder = trash::move_aside(layout.backup_folder, layout.backup_trash);
  }
  // The swap has taken the executable and the program folder by now; the updater itself makes
  // nothing in the staging directory.
  if (!kept.staging_dir && bundle::holds_only_a_stage(layout.staging_dir, layout.exe_name)) {
    trash.staging_dir = trash::move_aside(layout.staging_dir, layout.staging_trash);
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
  trash::remove_trash_of(layout.backup_folder);
  if (!kept.staging_dir) trash::remove_trash_of(layout.staging_dir);
  (void)remove_file(layout.journal_temporary);
  // A stranded backup keeps its journal: the next run then finishes the rollback.
  if (!kept.backup_folder) (void)remove_file(layout.journal);
}

}  // namespace tavrio::updater
