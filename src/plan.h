// The update as one plan: its steps in their order, each with its failure, the journal step it
// records, its undo and whether it may run while the application closes; and the one runner
// that executes them, writes the journal and the steps' log lines in the plan's order, stops at
// the first failure, undoes what was done and gives one outcome.
#pragma once

#include <span>
#include <string_view>

#include "pause.h"
#include "plan_row.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr int kBackupAttempts = 6;

// The rows of the plan, in order.
std::span<const PlanRow> update_plan();

enum class Ending { kSucceeded, kFailed, kCompletedInterruption };

struct Outcome {
  Ending ending = Ending::kSucceeded;
  UpdateResult failure;  // for kFailed
  // The rollback could not put the backup back: it holds the only complete copy of the previous
  // runtime and must stay where it is, with the journal that tells the next run so.
  bool backup_stranded = false;
};

class UpdatePlan {
 public:
  // Without the installation's lock (`install_locked` false: the install directory could not be
  // opened to name it, or the lock was not taken) every staging directory is refused, so that no
  // swap ever runs without it; the caller says which, there is no default. `plan` is the update's
  // own unless a test gives rows of its own; `layout` must outlive the plan.
  UpdatePlan(const Layout& layout, const UpdateLog& log, const Pause& pause, bool install_locked,
             std::span<const PlanRow> plan = update_plan());
  UpdatePlan(const UpdatePlan&) = delete;
  UpdatePlan& operator=(const UpdatePlan&) = delete;

  // While the application closes: the steps from the first on, as long as each may run then and
  // succeeds. Nothing is logged yet.
  void run_while_closing();

  // Whether a step run while the application closes failed: finish() then only logs it, undoes
  // the steps done and gives the failure.
  bool failed_while_closing() const { return !early_failure_.ok(); }

  // Once the application has exited: logs what the steps already run found, runs the rest; on
  // the first failure logs it, undoes the steps done in reverse order and ends.
  Outcome finish();

  // One step by itself, with its attempts and their log lines; a name the plan does not hold
  // fails as a replacement that found nothing to run.
  UpdateResult run_one(std::string_view name);

 private:
  bool may_run_while_closing(const PlanRow& step) const;
  UpdateResult attempt(const PlanRow& step);
  Status write_journal_step(JournalStep step);
  bool installation_moved_before(size_t row) const;
  void log_done(const PlanRow& step) const;
  Outcome fail_at(size_t row, const UpdateResult& failure);

  const Layout& layout_;
  const UpdateLog log_;
  const Pause pause_;
  std::span<const PlanRow> plan_;
  Run run_;
  size_t next_ = 0;             // the first step not yet run
  UpdateResult early_failure_;  // what stopped the steps run while the application closed
};

}  // namespace tavrio::updater
