// Every fixed text the updater logs or writes, named once, and the functions that assemble the
// lines from them. A failure's reason is rendered from its row of the failure table (failure.h).
#pragma once

#include <string>
#include <string_view>

#include "common/os_error.h"

namespace tavrio::updater {

// Log lines, in the order a run writes them.
inline constexpr std::string_view kStartBanner = "=== 更新开始（Native 更新器）===";
// The whole log of a run that found another updater at work on the installation.
inline constexpr std::string_view kAnotherUpdaterRunning =
    "另一个更新程序正在运行，本次未做任何更改";
// "--ready" named an event that cannot be opened: the run goes on as if it had not been given.
inline constexpr std::string_view kReadyEventLabel = "无法打开就绪事件 ";
inline constexpr std::string_view kReadyEventIgnored = "，照常等待主程序退出：";
inline constexpr std::string_view kForcedEnd = "主程序没有按时退出，强制结束";
inline constexpr std::string_view kMainProgramExited = "主程序已退出";
inline constexpr std::string_view kInterruptedUpdateCompleted = "上次更新被中断，已完成";
inline constexpr std::string_view kCheckPassed = "校验通过";
inline constexpr std::string_view kBackupLabel =
    "备份旧目录";  // opens an attempt's line and a reason
inline constexpr std::string_view kAttemptPrefix = "第 ";
inline constexpr std::string_view kAttemptFailed = " 次失败：";
inline constexpr std::string_view kRollingBack = "替换失败，回滚中：";
inline constexpr std::string_view kRollbackLabel = "回滚";  // opens a rollback attempt's line
inline constexpr std::string_view kRollbackFailed = "回滚失败，旧版本保留在 ";
inline constexpr std::string_view kRollbackFailedSeparator = "：";
inline constexpr std::string_view kFilesReplaced = "文件已替换";
inline constexpr std::string_view kUninstallerRefreshed = "卸载入口已更新";
inline constexpr std::string_view kUninstallerRefreshFailed = "卸载入口更新失败：";
inline constexpr std::string_view kUpdateFailed = "更新失败：";
inline constexpr std::string_view kUpdateSucceeded = "更新成功，重新启动";
inline constexpr std::string_view kRestartLabel = "启动主程序";  // opens a restart attempt's line

// Failure reasons: a prefix, then the path or the error text.
inline constexpr std::string_view kInvalidExeName = "主程序名无效，拒绝更新：";
inline constexpr std::string_view kStagingContainsInstall = "暂存目录包含安装目录，拒绝更新：";
inline constexpr std::string_view kRecoveryFailed = "恢复上次中断的更新失败：";
inline constexpr std::string_view kPackageIncomplete = "准备好的文件不完整，缺少 ";
inline constexpr std::string_view kPackageDamaged = "准备好的文件已损坏：";
inline constexpr std::string_view kManifestInvalid = "准备好的文件清单无效：";
inline constexpr std::string_view kClearingBackupFailed = "清理上次的备份失败：";
inline constexpr std::string_view kBackupFailedSuffix = "失败：";  // behind kBackupLabel
inline constexpr std::string_view kReplacementFailed = "替换失败：";

// The failure report: four lines, LF between them, none after the last.
inline constexpr std::string_view kReportHeading = "更新失败，已保留原版本。\n时间：";
inline constexpr std::string_view kReportReason = "\n原因：";
inline constexpr std::string_view kReportLog = "\n详细日志：";

// "备份旧目录第 N 次失败：" and the error text.
std::string backup_attempt_line(int attempt, Status error);
// "回滚第 N 次失败：" and the error text.
std::string rollback_attempt_line(int attempt, Status error);
// "启动主程序第 N 次失败：" and the error text.
std::string restart_attempt_line(int attempt, Status error);
// "替换失败，回滚中：" and the error text.
std::string rolling_back_line(Status error);
// "回滚失败，旧版本保留在 <backup>：" and the error text.
std::string rollback_failed_line(const std::wstring& backup_folder, Status error);
// "卸载入口更新失败：" and the error text: the installed uninstaller stayed as it was.
std::string uninstaller_refresh_failed_line(Status error);
// "无法打开就绪事件 <name>，照常等待主程序退出：" and the error text.
std::string ready_event_unopened_line(const std::wstring& name, Status error);
// The report's text; the log path exactly as "--log" gave it, in display form.
std::string failure_report_text(std::string_view stamp, std::string_view reason,
                                const std::wstring& log_path);

}  // namespace tavrio::updater
