// Settling a swap that an earlier run left unfinished (the updater was killed, the power went):
// every run does this after the wait and before anything else touches the installation, so a
// crash at any instant is finished or undone by the next run and never made worse. It works
// through the plan's own rows: undoing is the undos of the rows the swap had got through, and
// finishing is the rows that were left.
#pragma once

#include "plan_row.h"

namespace tavrio::updater {

// Whether an earlier run left anything to settle: a journal, or no program folder.
bool interrupted_swap_left(const Layout& layout);

// Reads the journal (and, without one, the folders) and settles what it finds:
// - cut off before the replacement (or during a rollback): the rows done are undone, which puts
//   the backup folder back as the program folder;
// - cut off after the replacement, or in the cleanup after a finished swap: the rows left are
//   run, which puts the new executable in place (from "<exe>.new" when it is whole, else copied
//   again from the staging directory the journal names); the run then counts as done
//   (`run.interruption_completed`); after the last step, a "<exe>.new" still there is the
//   executable's rename that had not reached the disk, and is renamed in.
// A failure leaves everything where it is.
UpdateResult settle_interrupted_swap(Run& run);

}  // namespace tavrio::updater
