// Every text the uninstaller shows or logs, named once, and the functions that assemble the
// setup-log lines and message-box texts from them. A failure to start the cleanup copy travels
// as a value (the stage, the OS error) until failure_text() renders it.
#pragma once

#include <string>

#include "common/os_error.h"
#include "common/step_result.h"

namespace tavrio::uninstall {

// The window: its title, the two labels' fixed text and the choices.
inline constexpr wchar_t kWindowTitle[] = L"卸载 Tavrio";
inline constexpr char kInstallLocationLabel[] = "安装位置";
inline constexpr char kKeepDataChoice[] = "只卸载程序，保留本地资料（账号、题库、配置）";
inline constexpr char kDeleteDataChoice[] = "同时删除本地资料，无法恢复";
// Its buttons and the status line once "卸载" was pressed.
inline constexpr char kUninstallButton[] = "卸载";
inline constexpr char kCancelButton[] = "取消";
inline constexpr char kCleaningUpStatus[] = "正在清理…";
// Every message box's caption.
inline constexpr wchar_t kMessageCaption[] = L"Tavrio";

// The guard's refusal: before and after the main program's name.
inline constexpr char kNoMainProgramBefore[] = "这个目录里没有 ";
inline constexpr char kNoMainProgramAfter[] = "，未做任何删除：";
// The window's start line: "开始卸载 <dir>（<mode>）".
inline constexpr char kStartingUninstall[] = "开始卸载 ";
inline constexpr char kModeDeleteData[] = "同时删除本地资料";
inline constexpr char kModeKeepData[] = "保留本地资料";
inline constexpr char kModeOpen[] = "（";
inline constexpr char kModeClose[] = "）";
// Silent mode's line once the cleanup copy runs, and the cleanup run's outcome lines.
inline constexpr char kScheduled[] = "已安排删除";
inline constexpr char kAllRemoved[] = "程序与本地资料已全部删除";
// All mode's outcome when the install folder holds what the installation did not put there: the
// folder and those entries stay. Followed by the folder.
inline constexpr char kAllRemovedOthersKept[] =
    "程序与本地资料已删除，安装目录里的其他文件已保留：";
inline constexpr char kProgramRemovedDataKept[] = "程序文件已删除，本地资料保留";
// In place of an outcome line when something stayed: "<prefix><entry>：<error>".
inline constexpr char kCleanupIncomplete[] = "卸载未完成，残留：";
inline constexpr char kLeftoverErrorSeparator[] = "：";
// Below that line in the box that a window-started uninstall shows when something stayed, while
// the uninstaller is still there. Followed by its path.
inline constexpr char kRunAgainHint[] = "可以再次运行卸载程序完成卸载：";
// A first process that waits (--wait) and learned nothing from the cleanup copy: it gave up
// after the bound, the copy ended without a report, or the wait could not be set up (followed by
// the error text).
inline constexpr char kCleanupWaitTimedOut[] = "等待清理程序超时，卸载可能尚未完成";
inline constexpr char kCleanupEndedUnreported[] = "清理程序没有报告结果就已退出";
inline constexpr char kCannotWaitForCleanup[] = "无法等待清理程序：";
// A failed start of the cleanup copy: the window's log line and its box's hint.
inline constexpr char kUninstallFailed[] = "卸载失败：";
inline constexpr char kManualDeletionHint[] = "可以手动删除安装目录：";
// The stage of the start that failed, in front of the error text.
inline constexpr char kLocateSelfFailed[] = "定位自身失败：";
inline constexpr char kCopyCleanupFailed[] = "复制清理程序失败：";
inline constexpr char kStartCleanupFailed[] = "启动清理程序失败：";

// Where starting the cleanup copy stopped.
enum class CopyStage { kLocateSelf, kCopy, kStart };

// Success, or the stage that failed and its error.
using CleanupCopyResult = StepResult<CopyStage>;

// "定位自身失败：", "复制清理程序失败：" or "启动清理程序失败：", then the error text.
std::string failure_text(const CleanupCopyResult& failure);

// "这个目录里没有 Tavrio.exe，未做任何删除：", for the box (`line_break`) or the log.
std::string no_installation_text(const std::wstring& install_dir, bool line_break);
// "开始卸载 <dir>（保留本地资料）" or "（同时删除本地资料）".
std::string starting_line(const std::wstring& install_dir, bool delete_data);
// "卸载失败：" and the failure, for the setup log.
std::string uninstall_failed_line(const CleanupCopyResult& failure);
// The failure, a blank line and where the files can be deleted by hand.
std::string failure_box_text(const CleanupCopyResult& failure, const std::wstring& install_dir);
// Silent mode's line: "启动清理程序失败：" and the failure.
std::string silent_start_failed_line(const CleanupCopyResult& failure);
// "程序与本地资料已删除，安装目录里的其他文件已保留：<dir>".
std::string others_kept_line(const std::wstring& install_dir);
// "卸载未完成，残留：<path>：<error>".
std::string incomplete_line(const std::wstring& left, Status error);
// The box of a window-started uninstall that left something: the incomplete line and, when
// `uninstaller` (the install folder's 卸载.exe) is still there, a blank line and the hint to run
// it again.
std::string leftover_box_text(const std::wstring& left, Status error,
                              const std::wstring& uninstaller, bool uninstaller_left);
// "无法等待清理程序：<error>".
std::string cannot_wait_line(Status error);

}  // namespace tavrio::uninstall
