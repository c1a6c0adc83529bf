// The cleanup in two halves around the restart of the application: what must go before it
// starts, and the slow removal of whole trees after.
#pragma once

#include "failure.h"
#include "layout.h"

namespace tavrio::updater {

// Which trees were moved to their trash names before the restart.
struct Trash {
  bool backup_folder = false;
  bool staging_dir = false;
};

// Before the restart: removes the pending-update marker, the update lock and a leftover new
// executable, and renames the backup folder (only once the program folder is in place) and the
// staging directory to their trash names. A tree that cannot be renamed is removed in place.
Trash clean_up_before_restart(const Layout& layout, const Kept& kept);

// After the restart: flushes the journal's last step, deletes the renamed trees and any trash an
// interrupted run left (the exact names these runs give, never following a link), then the
// journal: only now is the run over.
void clean_up_after_restart(const Layout& layout, const Trash& trash, const Kept& kept);

}  // namespace tavrio::updater
