// The end of every run past the command line: the uninstaller refresh, the three endings with the
// failure report, what the cleanup keeps, and the cleanup in two halves around the restart of the
// application: what must go before it starts, and the slow removal of whole trees after.
#pragma once

#include <string>
#include <string_view>

#include "common/handles.h"
#include "layout.h"
#include "pause.h"
#include "plan.h"
#include "update_log.h"

namespace tavrio::updater {

// Logs how the update ended and leaves what goes with it: after a success the staged uninstaller
// over the installed one ("卸载入口已更新"), after a failure the failure report, after a finished
// interruption no report of the interrupted run.
void end_update(const Layout& layout, const Outcome& outcome, const UpdateLog& log);

// Create-or-truncate, then the whole text; every error is dropped.
void write_failure_report(const std::wstring& report_path, std::string_view text);

// The one place the outcome of the plan decides what the cleanup keeps.
Kept what_to_keep(const Outcome& outcome);

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

inline constexpr int kRestartAttempts = 5;
inline constexpr unsigned kRestartPauseMs = 1000;

// Starts the installed executable in the install directory with no arguments. A start that fails
// (an antivirus still scanning the freshly written executable) is tried again, up to 5 times a
// second apart, each failure logged as "启动主程序第 N 次失败：" and the error: an update that ends
// with no application running has failed the user however well the files went. A missing
// executable is not started and not reported. The process, for wait_until_ready.
UniqueProcess restart_application(const Layout& layout, const UpdateLog& log, const Pause& pause);

inline constexpr DWORD kReadyWaitMs = 5000;

// Waits until the restarted application is ready for input, has ended, or 5 s have passed: the
// removal of whole trees after the restart would otherwise compete with the application's own
// start for the disk and the system.
void wait_until_ready(const UniqueProcess& application);

}  // namespace tavrio::updater
