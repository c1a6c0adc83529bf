#include "kept.h"

namespace tavrio::updater {

Kept what_to_keep(const Outcome& outcome) {
  if (outcome.ending != Ending::kFailed) return {};
  Kept kept = failure_row(outcome.failure.step()).keeps;
  kept.backup_folder = outcome.backup_stranded;
  return kept;
}

}  // namespace tavrio::updater
