#include "wait_for_exit.h"

#include <windows.h>

#include "common/handles.h"
#include "messages.h"

namespace tavrio::updater {
namespace {

// One handle serves every poll and the forced end. Holding it keeps the process object alive,
// so a process id that the system hands to another program after the application has ended is
// never polled or terminated.
UniqueProcess open_application(std::uint32_t process_id) {
  UniqueProcess process(::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, process_id));
  if (!process) process.reset(::OpenProcess(SYNCHRONIZE, FALSE, process_id));
  return process;
}

// True when the application is still running after the polls: the forced end follows. Each
// poll waits on the handle rather than testing it and sleeping, so that the exit is noticed
// when it happens, not up to a poll interval later.
bool poll_until_exit(HANDLE process, const ProcessWait& wait_on) {
  for (unsigned poll = 0; poll < kPollLimit; ++poll) {
    if (wait_on(process, kPollIntervalMs)) return false;
  }
  return true;
}

}  // namespace

void wait_for_exit(std::uint32_t process_id, const UpdateLog& log, const Pause& pause,
                   const ProcessWait& wait_on) {
  if (process_id != 0) {
    UniqueProcess process = open_application(process_id);
    if (process && poll_until_exit(process.get(), wait_on)) {
      log.append(kForcedEnd);
      // Without the right to terminate this fails; the backup's retries are what is left.
      ::TerminateProcess(process.get(), kForcedExitCode);
      pause(kPauseAfterTerminateMs);
    }
  }
  log.append(kMainProgramExited);
}

}  // namespace tavrio::updater
