// What the cleanup after an update must leave in place, decided from the outcome alone.
#pragma once

#include "failure.h"
#include "plan.h"

namespace tavrio::updater {

// The one place the outcome of the plan decides what the cleanup keeps.
Kept what_to_keep(const Outcome& outcome);

}  // namespace tavrio::updater
