#include "ending.h"

#include <windows.h>
#include "common/clock.h"
#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "messages.h"

namespace tavrio::updater {
namespace {

// Empties a report that an earlier failed run left behind. Truncating keeps the file (and what
// the application may hold of it) in place, where deleting and recreating would not.
void truncate(HANDLE file) {
  FILE_ALLOCATION_INFO allocation{};
  if (calls::set_file_information(file, FileAllocationInfo, &allocation, sizeof allocation)) {
    return;
  }
  FILE_END_OF_FILE_INFO end{};
  calls::set_file_information(file, FileEndOfFileInfo, &end, sizeof end);
}

}  // namespace

void write_failure_report(const std::wstring& report_path, std::string_view text) {
  UniqueFile file = open_path(report_path, GENERIC_WRITE, 0, {.disposition = OPEN_ALWAYS});
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (!file) return;
  if (existed) truncate(file.get());
  write_all(file.get(), text);
}

void end_update(const Layout& layout, const Outcome& outcome, const UpdateLog& log) {
  switch (outcome.ending) {
    case Ending::kFailed:
      log.append(update_failed_line(outcome.failure));
      write_failure_report(layout.failure_report,
                           failure_report_text(time_of_day_stamp(), failure_reason(outcome.failure),
                                               layout.log_path));
      return;
    case Ending::kSucceeded:
      // The copy itself tells whether there is a staged uninstaller: a check before it could
      // fail on its own and skip the refresh without a word.
      if (Status copied = copy_file(layout.staged_uninstaller, layout.installed_uninstaller);
          copied.ok()) {
        log.append(kUninstallerRefreshed);
      } else if (copied.code() != ERROR_FILE_NOT_FOUND && copied.code() != ERROR_PATH_NOT_FOUND) {
        log.append(uninstaller_refresh_failed_line(copied));
      }
      break;
    case Ending::kCompletedInterruption:
      // A report that the interrupted run may have left no longer tells the truth.
      log.append(kInterruptedUpdateCompleted);
      (void)remove_file(layout.failure_report);
      break;
  }
  log.append(kUpdateSucceeded);
}

}  // namespace tavrio::updater
