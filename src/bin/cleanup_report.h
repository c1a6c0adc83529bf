// How a first process that waits (--wait) learns how the cleanup run ended. The first process
// creates two named events before it starts the cleanup copy, one for each ending, named after
// its own process id ("Local\tavrio-uninstall-<id>-done" and "...-left"); the copy, told by the
// word "wait" on its command line, opens the one for its ending by that id and sets it once it
// has deleted everything but what needs the first process gone (its image, the main program
// and the folder), or once it knows that something stays. Nothing else crosses.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/handles.h"
#include "common/os_error.h"

namespace tavrio::uninstall {

// How long a first process waits for the copy's report before it gives up: a removal of a
// 3,000-file installation takes about 2 s, an entry that stays in use costs well under one.
inline constexpr DWORD kCleanupWaitBoundMs = 60000;

enum class CleanupEnding {
  kAllRemoved,   // the copy reported that everything it meant to delete is gone
  kLeftOver,     // the copy reported that something stayed (its outcome line names it)
  kUnreported,   // the copy ended without a report
  kTimedOut,     // no report within the bound
  kNotWaitable,  // the events could not be created: nothing to wait on
};

// The name of the event for one ending of the first process `first_process_id`.
std::wstring report_event_name(std::uint32_t first_process_id, bool all_removed);

// The first process's side.
class CleanupReport {
 public:
  // Creates both events for this process; ok() tells whether that worked.
  CleanupReport();
  bool ok() const { return error_.ok(); }
  // Waits until the copy sets an event, the copy ends, or `bound_ms` passes.
  CleanupEnding wait(HANDLE copy, DWORD bound_ms = kCleanupWaitBoundMs) const;
  Status error() const { return error_; }

 private:
  UniqueEvent all_removed_;
  UniqueEvent left_over_;
  Status error_;
};

// The copy's side: sets the first process's event for this ending. A first process that has no
// such events (it does not wait, or has gone) is not told anything.
void report_to_first_process(std::uint32_t first_process_id, bool all_removed);

// The exit code of a first process that waited: 0 only when the copy reported that everything
// is gone. Logs the ending that the copy's own outcome line cannot tell.
int exit_code_after(CleanupEnding ending, const CleanupReport& report);

}  // namespace tavrio::uninstall
