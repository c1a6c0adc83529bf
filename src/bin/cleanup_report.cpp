#include "bin/cleanup_report.h"

#include "bin/messages.h"
#include "bin/setup_log.h"
#include "common/text.h"

namespace tavrio::uninstall {

std::wstring report_event_name(std::uint32_t first_process_id, bool all_removed) {
  return L"Local\\tavrio-uninstall-" + widen(decimal(first_process_id)) +
         (all_removed ? L"-done" : L"-left");
}

CleanupReport::CleanupReport() {
  const DWORD self = ::GetCurrentProcessId();
  all_removed_.reset(::CreateEventW(nullptr, TRUE, FALSE, report_event_name(self, true).c_str()));
  if (!all_removed_) {
    error_ = last_error();
    return;
  }
  left_over_.reset(::CreateEventW(nullptr, TRUE, FALSE, report_event_name(self, false).c_str()));
  if (!left_over_) error_ = last_error();
}

CleanupEnding CleanupReport::wait(HANDLE copy, DWORD bound_ms) const {
  if (!ok()) return CleanupEnding::kNotWaitable;
  // The events come first: a copy that reported and then ended counts as having reported.
  const HANDLE watched[] = {all_removed_.get(), left_over_.get(), copy};
  switch (::WaitForMultipleObjects(3, watched, FALSE, bound_ms)) {
    case WAIT_OBJECT_0:
      return CleanupEnding::kAllRemoved;
    case WAIT_OBJECT_0 + 1:
      return CleanupEnding::kLeftOver;
    case WAIT_OBJECT_0 + 2:
      return CleanupEnding::kUnreported;
    default:
      return CleanupEnding::kTimedOut;
  }
}

void report_to_first_process(std::uint32_t first_process_id, bool all_removed) {
  UniqueEvent event(::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                 report_event_name(first_process_id, all_removed).c_str()));
  if (event) ::SetEvent(event.get());
}

int exit_code_after(CleanupEnding ending, const CleanupReport& report) {
  switch (ending) {
    case CleanupEnding::kAllRemoved:
      return 0;
    case CleanupEnding::kLeftOver:
      return 1;
    case CleanupEnding::kUnreported:
      append_setup_log(kCleanupEndedUnreported);
      return 1;
    case CleanupEnding::kTimedOut:
      append_setup_log(kCleanupWaitTimedOut);
      return 1;
    case CleanupEnding::kNotWaitable:
      append_setup_log(cannot_wait_line(report.error()));
      return 1;
  }
  return 1;
}

}  // namespace tavrio::uninstall
