// How an update ends, past its plan: the log's last lines, the staged uninstaller over the
// installed one after a success, and the failure report after a failure.
#pragma once

#include <string>
#include <string_view>
#include "layout.h"
#include "plan.h"
#include "update_log.h"

namespace tavrio::updater {

// Logs how the update ended and leaves what goes with it: after a success the staged uninstaller
// over the installed one ("卸载入口已更新"), after a failure the failure report, after a finished
// interruption no report of the interrupted run.
void end_update(const Layout& layout, const Outcome& outcome, const UpdateLog& log);

// Create-or-truncate, then the whole text; every error is dropped.
void write_failure_report(const std::wstring& report_path, std::string_view text);

}  // namespace tavrio::updater
