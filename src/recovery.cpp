#include "recovery.h"

#include "common/file_ops.h"
#include "common/path.h"
#include "common/tree_removal.h"
#include "journal.h"

namespace tavrio::updater {
namespace {

Recovery failed(Status error) {
  return {Settled::kFailed, Failure{FailedStep::kRecovery, error, {}}};
}

// Whether "<exe>.new" is the whole staged executable: it was flushed before the backup, but a
// run cut off in the middle of that copy leaves part of it.
bool is_whole_copy(const std::wstring& copy, const std::wstring& original) {
  std::uint64_t copy_size = 0, original_size = 0;
  return file_size(copy, &copy_size).ok() && file_size(original, &original_size).ok() &&
         copy_size == original_size;
}

// The backup is the version to keep: the program folder (a new runtime moved in part-way, or
// nothing) makes way for it.
Recovery put_backup_back(const UpdatePaths& paths, bool remove_new_runtime) {
  if (remove_new_runtime) {
    if (Status s = remove_tree(paths.program_folder); !s.ok() && exists(paths.program_folder)) {
      return failed(s);
    }
  }
  if (Status s = rename_path(paths.backup_folder, paths.program_folder); !s.ok()) return failed(s);
  (void)remove_file(paths.journal);
  return {Settled::kUndone, std::nullopt};
}

// The new runtime is in place: what is left of the swap is the executable.
Recovery finish_swap(const UpdatePaths& paths, const Journal& journal,
                     const std::wstring& exe_name) {
  const std::wstring staged_exe = join(journal.staging_dir, exe_name);
  if (!is_whole_copy(paths.new_executable, staged_exe)) {
    (void)remove_file(paths.new_executable);
    if (Status s = copy_file(staged_exe, paths.new_executable); !s.ok()) return failed(s);
    if (Status s = flush_file(paths.new_executable); !s.ok()) return failed(s);
  }
  Status renamed =
      rename_path(paths.new_executable, paths.installed_exe, RenameFlush::kWriteThrough);
  if (!renamed.ok()) return failed(renamed);
  (void)write_journal(paths.journal, {SwapStep::kFinished, journal.staging_dir});
  return {Settled::kCompleted, std::nullopt};
}

}  // namespace

Recovery settle_interrupted_swap(const UpdatePaths& paths, const std::wstring& exe_name) {
  const std::optional<Journal> journal = read_journal(paths.journal);
  const bool program_in_place = exists(paths.program_folder);
  const bool backup_there = exists(paths.backup_folder);
  if (!journal) {
    // A run from before the journal, or one cut off while writing its first step.
    if (!program_in_place && backup_there) return put_backup_back(paths, false);
    (void)remove_file(paths.journal);
    return {};
  }
  switch (journal->step) {
    case SwapStep::kStarted:
    case SwapStep::kBackedUp: {
      // Cut off between the replacement rename and the journal's next step: the new runtime is
      // in place and the staged folder is gone.
      const bool replaced = program_in_place && backup_there &&
                            !exists(join(journal->staging_dir, std::wstring(kProgramFolderName)));
      if (replaced) return finish_swap(paths, *journal, exe_name);
      if (!program_in_place && backup_there) return put_backup_back(paths, false);
      // Nothing of the installation moved: only the journal and a new executable are left.
      (void)remove_file(paths.new_executable);
      (void)remove_file(paths.journal);
      return {Settled::kUndone, std::nullopt};
    }
    case SwapStep::kRollingBack:
      if (!backup_there) break;  // the rollback's rename went through; only the journal is left
      return put_backup_back(paths, true);
    case SwapStep::kReplaced:
      return finish_swap(paths, *journal, exe_name);
    case SwapStep::kFinished:
      return {Settled::kCompleted, std::nullopt};
  }
  (void)remove_file(paths.journal);
  return {Settled::kUndone, std::nullopt};
}

}  // namespace tavrio::updater
