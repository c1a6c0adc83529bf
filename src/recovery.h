// Settling a swap that an earlier run left unfinished (the updater was killed, the power went):
// every run does this after the wait and before anything else touches the installation, so a
// crash at any instant is finished or undone by the next run and never made worse.
#pragma once

#include <optional>
#include <string>

#include "messages.h"
#include "request.h"

namespace tavrio::updater {

enum class Settled {
  kNothingToDo,  // no interrupted swap: the update goes on
  kUndone,       // the backup was put back: the update goes on as usual
  kCompleted,    // the interrupted swap was finished: the update counts as done
  kFailed,       // settling failed: nothing more may be deleted
};

struct Recovery {
  Settled settled = Settled::kNothingToDo;
  std::optional<Failure> failure;  // for kFailed
};

// Reads the journal (and, without one, the folders) and settles what it finds:
// - cut off before the replacement (or during a rollback): the backup folder is renamed back to
//   the program folder;
// - cut off after the replacement, or in the cleanup after a finished swap: the new executable
//   is put in place (from "<exe>.new" when it is whole, else copied from the staging directory
//   the journal names).
Recovery settle_interrupted_swap(const UpdatePaths& paths, const std::wstring& exe_name);

}  // namespace tavrio::updater
