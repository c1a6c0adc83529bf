#include "update_sequence.h"

#include "completion.h"
#include "layout.h"
#include "messages.h"
#include "plan.h"
#include "update_log.h"
#include "wait_for_exit.h"

namespace tavrio::updater {

void run_update(const UpdateRequest& request, const Pause& pause) {
  const Layout layout = layout_of(with_absolute_paths(request));
  const UpdateLog log(layout.log_path);
  log.append(kStartBanner);
  UpdatePlan plan(layout, log, pause);
  // What changes nothing of the installation is done while the application closes.
  plan.run_while_closing();
  wait_for_exit(request.process_id, log, pause);
  const Outcome outcome = plan.finish();
  end_update(layout, outcome, log);
  // The application is back as soon as the installation is settled; the slow removal of whole
  // trees comes after.
  const Kept kept = what_to_keep(outcome);
  const Trash trash = clean_up_before_restart(layout, kept);
  // With a refused executable name there is nothing that could safely be started.
  if (!kept.exe_name_refused) wait_until_ready(restart_application(layout));
  clean_up_after_restart(layout, trash, kept);
}

}  // namespace tavrio::updater
