// What a step of the update is: one row of the plan. The plan (plan.h) holds the rows in their
// order and runs them; the modules that do the work (swap, recovery) only provide the actions
// and undos a row names.
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "journal.h"
#include "layout.h"
#include "failure.h"
#include "pause.h"
#include "update_log.h"

namespace tavrio::updater {

// Whether a step may run while the application is still closing: only steps that change nothing
// of the installation, and settling an interrupted run only when there is nothing to settle.
enum class WhileClosing { kNo, kYes, kIfNothingToSettle };

struct PlanRow;

// What the steps of one run share: the layout, the plan itself (recovery undoes and redoes its
// rows), the log and the pause that an undo tried again uses, and what settling an interrupted
// run found.
struct Run {
  const Layout& layout;
  std::span<const PlanRow> plan;
  const UpdateLog& log;
  const Pause& pause;
  bool install_locked = false;          // this updater holds the installation's lock
  bool interruption_completed = false;  // the interrupted swap was finished: the update is done
};

using RowAction = UpdateResult (*)(Run& run);
using RowUndo = Status (*)(const Layout& layout);

// A row names only what sets it apart: by default it has no journal step, action or undo, waits
// for the application's exit, logs nothing once done and runs once.
struct PlanRow {
  std::string_view name;
  FailureKind failure;                   // what its failure is reported as
  std::optional<JournalStep> records{};  // the journal's step once it has succeeded
  RowAction action = nullptr;            // nullptr: the row is only the journal's record
  RowUndo undo = nullptr;                // nullptr: nothing to undo
  WhileClosing while_closing = WhileClosing::kNo;
  std::string_view done_line{};  // logged once it has succeeded, or empty
  bool logs_rolling_back = false;  // a failure is logged as "替换失败，回滚中：" and the error
  int attempts = 1;                // tries of the action and of the undo, with a pause of
                                   // kRetryPauseMs after each failed one
};

inline constexpr unsigned kRetryPauseMs = 2000;

// The result of an action that failed on an OS error or names a subject; the plan gives it the
// row's failure. An action with more than one way to fail names its failure itself.
inline UpdateResult step_failed(Status error) {
  return UpdateResult::failed(FailureKind::kNamedByRow, error);
}
inline UpdateResult step_result(Status status) {
  return status.ok() ? UpdateResult{} : step_failed(status);
}
inline UpdateResult step_failed_on(std::wstring subject) {
  return UpdateResult::failed(FailureKind::kNamedByRow, {}, std::move(subject));
}

// The names of the rows that recovery runs again by themselves.
inline constexpr std::string_view kNewExecutableRow = "new executable";

// The row of that name, or nullptr when the plan has none: a caller says what that means for it.
const PlanRow* row_named(std::span<const PlanRow> plan, std::string_view name);

// Where the rows that a journal step covers end: the index of the next row that records a step
// of its own. A journal that says `step` means that any row before that index may have run.
size_t end_of_rows_covered_by(std::span<const PlanRow> plan, JournalStep step);

// Undoes the rows before `end` (an index into the plan) in reverse order. An undo is tried as
// often as its row's action ("回滚第 N 次失败：" and the error logged after each failed try, then
// the pause): what keeps the backup from going back (a program holding the folder a while) is what
// the backup itself is given that long for, and a rollback matters more. The first undo that
// fails every try stops it and is returned.
Status undo_before(const Run& run, size_t end);

}  // namespace tavrio::updater
