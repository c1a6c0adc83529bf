// Waiting for the application to exit before anything of the install directory is touched.
#pragma once

#include <cstdint>

#include "pause.h"
#include "update_log.h"

namespace tavrio::updater {

inline constexpr unsigned kPollLimit = 80;
inline constexpr unsigned kPollIntervalMs = 500;
inline constexpr unsigned kPauseAfterTerminateMs = 800;
inline constexpr unsigned kForcedExitCode = 1;

// Waits on the process up to 80 times, up to 500 ms each; if it is still running then,
// terminates it with exit code 1 and pauses 800 ms. Logs "主程序已退出" on every way out; never
// fails. Process id 0, or a process that cannot be opened, ends the wait at once.
void wait_for_exit(std::uint32_t process_id, const UpdateLog& log, const Pause& pause,
                   const ProcessWait& wait_on = real_process_wait());

}  // namespace tavrio::updater
