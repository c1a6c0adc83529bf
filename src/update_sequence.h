// The order of a whole update, from the banner to the restart.
#pragma once

#include <windows.h>

#include "pause.h"
#include "ready_signal.h"
#include "request.h"
#include "update_lock.h"
#include "wait_for_exit.h"

namespace tavrio::updater {

// What a run takes from its surroundings, passed in so that tests can vary it.
struct UpdateSeams {
  Pause pause = real_pause();
  ProcessWait wait_on_application = real_process_wait();
  LockTry try_lock = real_lock_try();
  ReadySet set_ready = real_ready_set();
  // Only a process created before this can be the application that started the updater.
  FILETIME updater_created = own_creation_time();
};

// Holds the application's process and takes the installation's lock; waits for the application,
// swaps in the new version (or rolls back), ends with success or a failure report, cleans up and
// restarts the application, and only then lets go of the lock. Never fails: the outcome is in
// the log, the failure report and the restarted application. With another updater at work it
// logs one line and changes nothing.
//
// With a ready event ("--ready") the application is still running while the steps that change
// nothing of the installation run; the event is set after them, and the wait (with its forced
// end) begins only then. When one of them fails, the run ends with its report and its cleanup
// without waiting for, ending or restarting the application, and never sets the event.
void run_update(const UpdateRequest& request, const UpdateSeams& seams = {});

}  // namespace tavrio::updater
