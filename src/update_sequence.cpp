#include "update_sequence.h"

#include "cleanup.h"
#include "ending.h"
#include "kept.h"
#include "restart.h"
#include "layout.h"
#include "messages.h"
#include "plan.h"
#include "update_log.h"

namespace tavrio::updater {
namespace {

enum class Restart { kYes, kNo };

// The rest of the plan, the ending, and the cleanup around the restart (when there is one).
void finish_update(const Layout& layout, UpdatePlan& plan, const UpdateLog& log, const Pause& pause,
                   Restart restart) {
  const Outcome outcome = plan.finish();
  end_update(layout, outcome, log);
  // The application is back as soon as the installation is settled; the slow removal of whole
  // trees comes after.
  const Kept kept = what_to_keep(outcome);
  const Trash trash = clean_up_before_restart(layout, kept);
  // With a refused executable name there is nothing that could safely be started.
  if (restart == Restart::kYes && !kept.exe_name_refused) {
    wait_until_ready(restart_application(layout, log, pause));
  }
  clean_up_after_restart(layout, trash, kept);
}

}  // namespace

void run_update(const UpdateRequest& request, const UpdateSeams& seams) {
  const Layout layout = layout_of(with_absolute_paths(request));
  const UpdateLog log(layout.log_path);
  log.append(kStartBanner);
  // Held until the run has ended, after the restart and the cleanup. Taken before anything of
  // the installation is opened: a look at the installed executable (is the process behind the id
  // the application?) would make the other updater's rename over it fail for that moment.
  const UpdateLock lock = take_update_lock(layout.install_dir, seams.try_lock);
  if (lock.state() == UpdateLock::State::kBusy ||
      (lock.held() && served_before_start(layout, seams.updater_created))) {
    // The other updater owns everything here, the markers and the restart included; an
    // application waiting on its ready event learns from our end that this run did nothing.
    log.append(kAnotherUpdaterRunning);
    return;
  }
  // The application exits right after starting us: its process is held right away. A process
  // that has its id but was started after us is never taken for it.
  UniqueProcess application =
      open_application(request.process_id, layout.installed_exe, seams.updater_created);
  const UniqueEvent ready = open_ready_event(request.ready_event, log);
  UpdatePlan plan(layout, log, seams.pause, lock.held());
  // What changes nothing of the installation is done while the application closes, or, when it
  // waits on its ready event, while it still runs.
  plan.run_while_closing();
  if (ready) {
    if (plan.failed_while_closing()) {
      // The application never closed for this update: it keeps running, learns the outcome from
      // our end and the report, and is neither waited for, ended nor started again.
      finish_update(layout, plan, log, seams.pause, Restart::kNo);
      return;
    }
    seams.set_ready(ready.get());
  }
  wait_for_exit(application.get(), log, seams.pause, seams.wait_on_application);
  application.reset();
  finish_update(layout, plan, log, seams.pause, Restart::kYes);
}

}  // namespace tavrio::updater
