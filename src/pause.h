// The updater's two ways of waiting, passed in so that tests of the retries and of the wait for
// the application need not sleep.
#pragma once

#include <windows.h>

#include <functional>

namespace tavrio::updater {

using Pause = std::function<void(unsigned milliseconds)>;

// The real pause of the common operations.
Pause real_pause();

// Waits up to the given time for a process to end; true once it has ended, or when it cannot be
// waited on at all.
using ProcessWait = std::function<bool(HANDLE process, unsigned milliseconds)>;

// WaitForSingleObject on the handle: an exit is noticed the moment it happens.
ProcessWait real_process_wait();

}  // namespace tavrio::updater
