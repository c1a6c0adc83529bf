#include "recovery.h"

#include "common/file_ops.h"
#include "common/path.h"

namespace tavrio::updater {
namespace {

// Whether "<exe>.new" is the whole staged executable: it was flushed before the backup, but a
// run cut off in the middle of that copy leaves part of it.
bool is_whole_copy(const std::wstring& copy, const std::wstring& original) {
  std::uint64_t copy_size = 0, original_size = 0;
  return file_size(copy, &copy_size).ok() && file_size(original, &original_size).ok() &&
         copy_size == original_size;
}

// The backup is the version to keep: every row that the journal's step covers is undone (a new
// runtime moved in part-way goes first, the backup goes back, the journal last).
UpdateResult undo_through(Run& run, JournalStep reached) {
  const size_t end = end_of_rows_covered_by(run.plan, reached);
  if (Status undone = undo_before(run, end); !undone.ok()) {
    return step_failed(undone);
  }
  return {};
}

// The new runtime is in place: the rows after those the journal's step covers are run, with the
// staging directory the journal names. The new executable is made again only when it is not
// whole.
UpdateResult finish_from(Run& run, JournalStep reached, const std::wstring& staging_dir) {
  const Layout journal_layout = with_staging_dir(run.layout, staging_dir);
  Run finishing{journal_layout, run.plan, run.log, run.pause, run.install_locked};
  if (!is_whole_copy(journal_layout.new_executable, journal_layout.staged_exe)) {
    // A plan without the row cannot make it again: the interrupted run stays as it is.
    const PlanRow* make = row_named(run.plan, kNewExecutableRow);
    if (make == nullptr || make->action == nullptr) return step_failed(OsError{ERROR_NOT_FOUND});
    if (UpdateResult ready = make->action(finishing); !ready.ok()) return ready;
  }
  for (size_t row = end_of_rows_covered_by(run.plan, reached); row < run.plan.size(); ++row) {
    const PlanRow& step = run.plan[row];
    // A row without an action is only the journal's record, as in the plan's runner.
    if (step.action != nullptr) {
      if (UpdateResult done = step.action(finishing); !done.ok()) return done;
    }
    if (step.records) {
      (void)write_journal(journal_layout.journal, journal_layout.journal_temporary,
                          {*step.records, staging_dir});
    }
  }
  run.interruption_completed = true;
  return {};
}

}  // namespace

bool interrupted_swap_left(const Layout& layout) {
  return exists(layout.journal) || !exists(layout.program_folder);
}

UpdateResult settle_interrupted_swap(Run& run) {
  const Layout& layout = run.layout;
  const std::optional<Journal> journal = read_journal(layout.journal);
  const bool program_in_place = exists(layout.program_folder);
  const bool backup_there = exists(layout.backup_folder);
  // What is on the disk decides before the journal does: with no program folder, the backup is
  // the one whole runtime, and nothing of the swap can go forward without a program folder in
  // place. The journal may name a later step than the disk shows: a rollback whose own journal
  // step could not be written, cut off or given up after it had removed the new runtime, leaves
  // "replaced" behind with the staged runtime gone. The backup goes back.
  if (!program_in_place && backup_there) return undo_through(run, JournalStep::kReplaced);
  if (!journal) {
    // A run from before the journal, or one cut off while writing its first step.
    (void)remove_file(layout.journal);
    return {};
  }
  switch (journal->step) {
    case JournalStep::kStarted:
    case JournalStep::kBackedUp: {
      // Cut off between the replacement rename and the journal's next step: the new runtime is
      // in place and the staged folder is gone.
      const bool replaced =
          program_in_place && backup_there &&
          !exists(with_staging_dir(layout, journal->staging_dir).staged_program_folder);
      if (replaced) return finish_from(run, JournalStep::kReplaced, journal->staging_dir);
      // Nothing of the installation moved: only the journal and a new executable are left.
      return undo_through(run, JournalStep::kStarted);
    }
    case JournalStep::kRollingBack:
      if (!backup_there) break;  // the rollback's rename went through; only the journal is left
      return undo_through(run, JournalStep::kReplaced);
    case JournalStep::kReplaced:
      return finish_from(run, JournalStep::kReplaced, journal->staging_dir);
    case JournalStep::kFinished:
      // The executable's rename is flushed only after the restart: cut off before that, the
      // journal may say "finished" while the disk still has "<exe>.new" beside the previous
      // executable. That copy is whole (it was flushed before anything moved).
      if (exists(layout.new_executable)) {
        if (Status moved = rename_path(layout.new_executable, layout.installed_exe); !moved.ok()) {
          return step_failed(moved);
        }
      }
      run.interruption_completed = true;
      return {};
  }
  (void)remove_file(layout.journal);
  return {};
}

}  // namespace tavrio::updater
