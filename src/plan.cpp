#include "plan.h"

#include "journal.h"
#include "messages.h"
#include "recovery.h"
#include "swap.h"

namespace tavrio::updater {
namespace {

using enum WhileClosing;

// Checks first, then what is made beside the installation (the journal's first step, the new
// executable), then what changes the installation itself. What may run while the application
// closes runs then, as far as the plan allows; the rest waits for its exit.
constexpr PlanRow kPlan[] = {
    {.name = "executable name",
     .failure = FailureKind::kExeNameRefused,
     .action = check_exe_name,
     .while_closing = kYes},
    {.name = "staging placement",
     .failure = FailureKind::kStagingRefused,
     .action = check_staging_placement,
     .while_closing = kYes},
    {.name = "interrupted swap",
     .failure = FailureKind::kRecovery,
     .action = settle_interrupted_swap,
     .while_closing = kIfNothingToSettle},
    {.name = "package",
     .failure = FailureKind::kPackageIncomplete,
     .action = check_package,
     .while_closing = kYes},
    {.name = "package manifest",
     .failure = FailureKind::kPackageDamaged,
     .action = check_against_manifest,
     .while_closing = kYes,
     .done_line = kCheckPassed},
    {.name = "journal",
     .failure = FailureKind::kReplacement,
     .records = JournalStep::kStarted,
     .undo = remove_journal,
     .while_closing = kYes,
     .logs_rolling_back = true},
    {.name = kNewExecutableRow,
     .failure = FailureKind::kReplacement,
     .action = make_new_executable,
     .undo = remove_new_executable,
     .while_closing = kYes,
     .logs_rolling_back = true},
    {.name = "old backup", .failure = FailureKind::kClearingBackup, .action = clear_old_backup},
    {.name = "backup",
     .failure = FailureKind::kBackup,
     .records = JournalStep::kBackedUp,
     .action = back_up_program_folder,
     .undo = put_backup_back,
     .attempts = kBackupAttempts},
    {.name = "program folder",
     .failure = FailureKind::kReplacement,
     .records = JournalStep::kReplaced,
     .action = move_program_folder_in,
     .undo = remove_new_runtime,
     .logs_rolling_back = true},
    {.name = "executable",
     .failure = FailureKind::kReplacement,
     .records = JournalStep::kFinished,
     .action = move_executable_in,
     .done_line = kFilesReplaced,
     .logs_rolling_back = true},
};

}  // namespace

std::span<const PlanRow> update_plan() {
  return kPlan;
}

UpdatePlan::UpdatePlan(const Layout& layout, const UpdateLog& log, const Pause& pause,
                       bool install_locked, std::span<const PlanRow> plan)
    : layout_(layout),
      log_(log),
      pause_(pause),
      plan_(plan),
      run_{layout, plan_, log_, pause_, install_locked} {}

bool UpdatePlan::may_run_while_closing(const PlanRow& step) const {
  switch (step.while_closing) {
    case kYes:
      return true;
    case kIfNothingToSettle:
      return !interrupted_swap_left(layout_);
    case kNo:
      break;
  }
  return false;
}

// The journal's first step is on the disk before anything of the installation moves, and so is
// a rollback. The steps between are left to the system to flush, so that the application is not
// kept waiting: the backup and the replacement tell the next run by themselves which of them
// happened (the program folder, the backup and the staged program folder are there or not), and
// the last step is flushed right after the restart.
Status UpdatePlan::write_journal_step(JournalStep step) {
  const bool flushed = step == JournalStep::kStarted || step == JournalStep::kRollingBack;
  return write_journal(layout_.journal, layout_.journal_temporary, {step, layout_.staging_dir},
                       flushed ? Durability::kFlushed : Durability::kCached);
}

UpdateResult UpdatePlan::attempt(const PlanRow& step) {
  UpdateResult result;
  for (int attempt = 1; attempt <= step.attempts; ++attempt) {
    result = step.action != nullptr ? step.action(run_) : UpdateResult{};
    if (result.ok() && step.records) {
      // Only a journal that could not be started stops the update; a later step that cannot be
      // recorded costs the next run no more than its knowledge of that step.
      Status recorded = write_journal_step(*step.records);
      if (!recorded.ok() && *step.records == JournalStep::kStarted) result = step_failed(recorded);
    }
    if (result.ok()) return result;
    if (step.attempts > 1) {
      log_.append(backup_attempt_line(attempt, result.error()));
      pause_(kRetryPauseMs);
    }
  }
  if (result.step() != FailureKind::kNamedByRow) return result;
  return UpdateResult::failed(step.failure, result.error(), result.subject());
}

void UpdatePlan::log_done(const PlanRow& step) const {
  if (!step.done_line.empty()) log_.append(step.done_line);
}

bool UpdatePlan::installation_moved_before(size_t row) const {
  for (size_t done = 0; done < row; ++done) {
    if (plan_[done].records && *plan_[done].records != JournalStep::kStarted) return true;
  }
  return false;
}

Outcome UpdatePlan::fail_at(size_t row, const UpdateResult& failure) {
  if (plan_[row].logs_rolling_back) log_.append(rolling_back_line(failure.error()));
  Outcome outcome{Ending::kFailed, failure};
  // The journal says so first, so that a run cut off in the rollback is finished the same way by
  // the next one.
  if (installation_moved_before(row)) (void)write_journal_step(JournalStep::kRollingBack);
  if (Status undone = undo_before(run_, row); !undone.ok()) {
    log_.append(rollback_failed_line(layout_.backup_folder, undone));
    outcome.backup_stranded = true;
  }
  return outcome;
}

void UpdatePlan::run_while_closing() {
  for (; next_ < plan_.size() && may_run_while_closing(plan_[next_]); ++next_) {
    early_failure_ = attempt(plan_[next_]);
    if (!early_failure_.ok()) return;
  }
}

Outcome UpdatePlan::finish() {
  for (size_t row = 0; row < next_; ++row) log_done(plan_[row]);
  if (!early_failure_.ok()) return fail_at(next_, early_failure_);
  for (; next_ < plan_.size(); ++next_) {
    const PlanRow& step = plan_[next_];
    UpdateResult result = attempt(step);
    if (!result.ok()) return fail_at(next_, result);
    log_done(step);
    if (run_.interruption_completed) return {Ending::kCompletedInterruption, {}};
  }
  return {};
}

UpdateResult UpdatePlan::run_one(std::string_view name) {
  const PlanRow* step = row_named(plan_, name);
  if (step == nullptr)
    return UpdateResult::failed(FailureKind::kReplacement, OsError{ERROR_NOT_FOUND});
  return attempt(*step);
}

}  // namespace tavrio::updater
