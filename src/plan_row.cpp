#include "plan_row.h"

#include "messages.h"
namespace tavrio::updater {

const PlanRow* row_named(std::span<const PlanRow> plan, std::string_view name) {
  for (const PlanRow& row : plan) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

size_t end_of_rows_covered_by(std::span<const PlanRow> plan, JournalStep step) {
  size_t row = 0;
  while (row < plan.size() && plan[row].records != step) ++row;
  for (++row; row < plan.size(); ++row) {
    if (plan[row].records) return row;
  }
  return plan.size();
}

namespace {

Status undo_with_retries(const Run& run, const PlanRow& step) {
  Status undone;
  for (int attempt = 1; attempt <= step.attempts; ++attempt) {
    undone = step.undo(run.layout);
    if (undone.ok()) return undone;
    if (step.attempts > 1) {
      run.log.append(rollback_attempt_line(attempt, undone));
      run.pause(kRetryPauseMs);
    }
  }
  return undone;
}

}  // namespace

Status undo_before(const Run& run, size_t end) {
  for (size_t row = end; row-- > 0;) {
    if (run.plan[row].undo == nullptr) continue;
    if (Status undone = undo_with_retries(run, run.plan[row]); !undone.ok()) return undone;
  }
  return {};
}

}  // namespace tavrio::updater
