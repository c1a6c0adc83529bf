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

std::string rolling_back_line(Status error) {
  std::string line(kRollingBack);
  line += error_text(error);
  return line;
}

std::string rollback_failed_line(const std::wstring& backup_folder, Status error) {
  std::string line(kRollbackFailed);
  line += display_form(backup_folder);
  line += kRollbackFailedSeparator;
  line += error_text(error);
  return line;
}

std::string uninstaller_refresh_failed_line(Status error) {
  std::string line(kUninstallerRefreshFailed);
  line += error_text(error);
  return line;
}

std::string ready_event_unopened_line(const std::wstring& name, Status error) {
  std::string line(kReadyEventLabel);
  line += display_form(name);
  line += kReadyEventIgnored;
  line += error_text(error);
  return line;
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
