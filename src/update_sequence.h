// The order of a whole update, from the banner to the restart.
#pragma once

#include "pause.h"
#include "request.h"

namespace tavrio::updater {

// Waits for the application, swaps in the new version (or rolls back), ends with success or a
// failure report, cleans up and restarts the application. Never fails: the outcome is in the
// log, the failure report and the restarted application.
void run_update(const UpdateRequest& request, const Pause& pause);

}  // namespace tavrio::updater
