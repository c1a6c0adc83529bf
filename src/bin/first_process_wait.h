// How the cleanup copy waits for the first process, the uninstaller that started it, to end.
#pragma once

#include <string>

#include "common/clock.h"

namespace tavrio::uninstall {

// How the cleanup copy waits: pause_ms, or in tests one that need not sleep.
using Pause = void (*)(unsigned milliseconds);

// The first process is polled, never waited on: 40 polls 300 ms apart, then a pause that lets
// the system release its image file after it has gone.
inline constexpr int kFirstProcessPolls = 40;
inline constexpr unsigned kFirstProcessPollMs = 300;
inline constexpr unsigned kFirstProcessSettleMs = 400;

// Polls the process named by `pid_text` until it has ended (or is not a process id at all), at
// most 40 times, then pauses to let the system release its image.
void wait_for_first_process(const std::wstring& pid_text, Pause pause);

}  // namespace tavrio::uninstall
