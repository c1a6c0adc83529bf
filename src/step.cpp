#include "step.h"

namespace tavrio::updater {

const PlanStep& step_named(std::span<const PlanStep> plan, std::string_view name) {
  for (const PlanStep& row : plan) {
    if (row.name == name) return row;
  }
  return plan.front();  // every name asked for is in the plan
}

size_t end_of_rows_covered_by(std::span<const PlanStep> plan, SwapStep step) {
  size_t row = 0;
  while (row < plan.size() && plan[row].records != step) ++row;
  for (++row; row < plan.size(); ++row) {
    if (plan[row].records) return row;
  }
  return plan.size();
}

Status undo_before(std::span<const PlanStep> plan, size_t end, const Layout& layout) {
  for (size_t row = end; row-- > 0;) {
    if (plan[row].undo == nullptr) continue;
    if (Status undone = plan[row].undo(layout); !undone.ok()) return undone;
  }
  return {};
}

}  // namespace tavrio::updater
