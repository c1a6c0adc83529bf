#include "messages.h"

#include "common/text.h"

namespace tavrio::updater {

namespace {

std::string attempt_line(std::string_view label, int attempt, Status error) {
  std::string line(label);
  line += kAttemptPrefix;
  line += decimal(static_cast<unsigned>(attempt));
  line += kAttemptFailed;
  line += error_text(error);
  return line;
}

}  // namespace

std::string backup_attempt_line(int attempt, Status error) {
  return attempt_line(kBackupLabel, attempt, error);
}

std::string rollback_attempt_line(int attempt, Status error) {
  return attempt_line(kRollbackLabel, attempt, error);
}

std::string restart_attempt_line(int attempt, Status error) {
  return attempt_line(kRestartLabel, attempt, error);
}

namespace {

// "<opening><path><middle>" and the error text; without a path, the opening and the error text.
std::string error_line(std::string_view opening, Status error, const std::wstring* path = nullptr,
                       std::string_view middle = {}) {
  std::string line(opening);
  if (path != nullptr) (line += display_form(*path)) += middle;
  line += error_text(error);
  return line;
}

}  // namespace

std::string rolling_back_line(Status error) {
  return error_line(kRollingBack, error);
}

std::string rollback_failed_line(const std::wstring& backup_folder, Status error) {
  return error_line(kRollbackFailed, error, &backup_folder, kRollbackFailedSeparator);
}

std::string uninstaller_refresh_failed_line(Status error) {
  return error_line(kUninstallerRefreshFailed, error);
}

std::string ready_event_unopened_line(const std::wstring& name, Status error) {
  return error_line(kReadyEventLabel, error, &name, kReadyEventIgnored);
}

std::string failure_report_text(std::string_view stamp, std::string_view reason,
                                const std::wstring& log_path) {
  std::string text(kReportHeading);
  text += stamp;
  text += kReportReason;
  text += reason;
  text += kReportLog;
  text += display_form(log_path);
  return text;
}

}  // namespace tavrio::updater
