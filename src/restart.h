// The restart of the application once the files are in place, and the wait for it to be ready.
#pragma once

#include "common/handles.h"
#include "layout.h"
#include "pause.h"
#include "update_log.h"

namespace tavrio::updater {

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
