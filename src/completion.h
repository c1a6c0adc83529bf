// The end of every run past the command line: the uninstaller refresh, the two endings with the
// failure report, the cleanup and the restart of the application.
#pragma once

#include <string>
#include <string_view>

#include "request.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr std::wstring_view kUninstallerName = L"卸载.exe";
inline constexpr std::wstring_view kFailureReportName = L"update_failed.txt";
inline constexpr std::wstring_view kPendingMarkerName = L"update_pending.json";
inline constexpr std::wstring_view kUpdateLockName = L"update.lock";

// The failure report: four lines, LF between them, none after the last.
inline constexpr std::string_view kReportHeading = "更新失败，已保留原版本。\n时间：";
inline constexpr std::string_view kReportReason = "\n原因：";
inline constexpr std::string_view kReportLog = "\n详细日志：";

// Copies a staged "卸载.exe" over the installed one and logs "卸载入口已更新", whether or not the
// copy worked; nothing at all without a staged uninstaller.
void refresh_uninstaller(const UpdateRequest& request, const UpdateLog& log);

void end_with_success(const UpdateLog& log);

// Logs "更新失败：" and the reason, then writes the failure report into the install directory.
void end_with_failure(const UpdateRequest& request, const std::string& reason,
                      const UpdateLog& log);

// The report's text; the log path exactly as "--log" gave it, in display form.
std::string failure_report_text(std::string_view stamp, std::string_view reason,
                                const std::wstring& log_path);

// Create-or-truncate, then the whole text; every error is dropped.
void write_failure_report(const std::wstring& report_path, std::string_view text);

struct CleanupScope {
  // The rollback could not move the backup back: it is the previous runtime, keep it.
  bool keep_backup = false;
  // The staging directory contains the installation: removing it would remove everything.
  bool keep_staging = false;
  // The executable name was refused: no path made from it is touched or started.
  bool exe_name_refused = false;
};

// Removes the backup folder, the staging directory, the pending-update marker, the update lock
// and a leftover new executable, in that order; each result is ignored.
void clean_up(const UpdateRequest& request, const UpdatePaths& paths, CleanupScope scope);

// Starts the installed executable, when it exists, in the install directory with no arguments;
// never waits and never reports.
void restart_application(const UpdateRequest& request, const UpdatePaths& paths);

}  // namespace tavrio::updater
