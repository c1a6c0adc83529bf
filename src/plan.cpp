#include "plan.h"

#include "journal.h"
#include "recovery.h"
#include "swap.h"

namespace tavrio::updater {
namespace {

using enum WhileClosing;

// Checks first, then what is made beside the installation (the journal's first step, the new
// executable), then what changes the installation itself. What may run while the application
// closes runs then, as far as the plan allows; the rest waits for its exit.
// clang-format off
constexpr PlanStep kPlan[] = {
// name                 failure                         journal step          action                   undo                   while closing       done line       rolls back attempts
  {"executable name",   FailedStep::kExeNameRefused,    {},                   check_exe_name,          nullptr,               kYes,               {},             false, 1},
  {"staging placement", FailedStep::kStagingRefused,    {},                   check_staging_placement, nullptr,               kYes,               {},             false, 1},
  {"interrupted swap",  FailedStep::kRecovery,          {},                   settle_interrupted_swap, nullptr,               kIfNothingToSettle, {},             false, 1},
  {"package",           FailedStep::kPackageIncomplete, {},                   check_package,           nullptr,               kYes,               {},             false, 1},
  {"package manifest",  FailedStep::kPackageDamaged,    {},                   check_against_manifest,  nullptr,               kYes,               kCheckPassed,   false, 1},
  {"journal",           FailedStep::kReplacement,       SwapStep::kStarted,   nullptr,                 remove_journal,        kYes,               {},             true,  1},
  {kNewExecutableStep,  FailedStep::kReplacement,       {},                   make_new_executable,     remove_new_executable, kYes,               {},             true,  1},
  {"old backup",        FailedStep::kClearingBackup,    {},                   clear_old_backup,        nullptr,               kNo,                {},             false, 1},
  {"backup",            FailedStep::kBackup,            SwapStep::kBackedUp,  back_up_program_folder,  put_backup_back,       kNo,                {},             false, kBackupAttempts},
  {"program folder",    FailedStep::kReplacement,       SwapStep::kReplaced,  move_program_folder_in,  remove_new_runtime,    kNo,                {},             true,  1},
  {"executable",        FailedStep::kReplacement,       SwapStep::kFinished,  move_executable_in,      nullptr,               kNo,                kFilesReplaced, true,  1},
};
// clang-format on

}  // namespace

std::span<const PlanStep> update_plan() {
  return kPlan;
}

UpdatePlan::UpdatePlan(const Layout& layout, const UpdateLog& log, const Pause& pause,
                       bool install_locked, std::span<const PlanStep> plan)
    : layout_(layout),
      log_(log),
      pause_(pause),
      plan_(plan),
      run_{layout, plan_, log_, pause_, install_locked} {}

bool UpdatePlan::may_run_while_closing(const PlanStep& step) const {
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
Status UpdatePlan::write_journal_step(SwapStep step) {
  const bool flushed = step == SwapStep::kStarted || step == SwapStep::kRollingBack;
  return write_journal(layout_.journal, layout_.journal_temporary, {step, layout_.staging_dir},
                       flushed ? Durability::kFlushed : Durability::kCached);
}

UpdateResult UpdatePlan::attempt(const PlanStep& step) {
  UpdateResult result;
  for (int attempt = 1; attempt <= step.attempts; ++attempt) {
    result = step.action != nullptr ? step.action(run_) : UpdateResult{};
    if (result.ok() && step.records) {
      // Only a journal that could not be started stops the update; a later step that cannot be
      // recorded costs the next run no more than its knowledge of that step.
      Status recorded = write_journal_step(*step.records);
      if (!recorded.ok() && *step.records == SwapStep::kStarted) result = step_failed(recorded);
    }
    if (result.ok()) return result;
    if (step.attempts > 1) {
      log_.append(backup_attempt_line(attempt, result.error()));
      pause_(kRetryPauseMs);
    }
  }
  if (result.step() != FailedStep::kUnnamed) return result;
  return UpdateResult::failed(step.failure, result.error(), result.subject());
}

void UpdatePlan::log_done(const PlanStep& step) const {
  if (!step.done_line.empty()) log_.append(step.done_line);
}

bool UpdatePlan::installation_moved_before(size_t row) const {
  for (size_t done = 0; done < row; ++done) {
    if (plan_[done].records && *plan_[done].records != SwapStep::kStarted) return true;
  }
  return false;
}

Outcome UpdatePlan::fail_at(size_t row, const UpdateResult& failure) {
  if (plan_[row].logs_rolling_back) log_.append(rolling_back_line(failure.error()));
  Outcome outcome{Ending::kFailed, failure};
  // The journal says so first, so that a run cut off in the rollback is finished the same way by
  // the next one.
  if (installation_moved_before(row)) (void)write_journal_step(SwapStep::kRollingBack);
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
    const PlanStep& step = plan_[next_];
    UpdateResult result = attempt(step);
    if (!result.ok()) return fail_at(next_, result);
    log_done(step);
    if (run_.interruption_completed) return {Ending::kCompletedInterruption, {}};
  }
  return {};
}

UpdateResult UpdatePlan::run_one(std::string_view name) {
  const PlanStep* step = step_named(plan_, name);
  if (step == nullptr)
    return UpdateResult::failed(FailedStep::kReplacement, OsError{ERROR_NOT_FOUND});
  return attempt(*step);
}

}  // namespace tavrio::updater
