// Holding the application's process from the first instant of a run, and waiting for it to exit
// before anything of the install directory is touched.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/handles.h"
#include "pause.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr unsigned kApplicationPolls = 80;
inline constexpr unsigned kApplicationPollMs = 500;
inline constexpr unsigned kPauseAfterTerminateMs = 800;
inline constexpr unsigned kForcedExitCode = 1;

// The updater's own creation time: only a process created before it can be the application
// that started it.
FILETIME own_creation_time();

// Whether a process is the application: its image is the installed executable (the same full
// path without regard to case, or the same file under another spelling of the folder, such as a
// short name or another drive letter mapped onto it) and it was created before the updater.
bool is_the_application(HANDLE process, const std::wstring& installed_exe,
                        const FILETIME& updater_created);

// Opens the process once, to be held through the whole wait: a process id names the
// application only while a handle opened before the application could have exited is held.
// Empty for process id 0, an id that cannot be opened, and a process that is not the
// application (another program that got the id after the application ended): such a process
// counts as exited and is never waited on or ended.
UniqueProcess open_application(std::uint32_t process_id, const std::wstring& installed_exe,
                               const FILETIME& updater_created);

// Waits on the application up to 80 times, up to 500 ms each; if it is still running then,
// terminates it with exit code 1 and pauses 800 ms. Logs "主程序已退出" on every way out; never
// fails. Without an application (an empty handle) the wait ends at once.
void wait_for_exit(HANDLE application, const UpdateLog& log, const Pause& pause,
                   const ProcessWait& wait_on = real_process_wait());

}  // namespace tavrio::updater
