#include "wait_for_exit.h"

#include <windows.h>

#include "common/handles.h"

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

// True when the application is still running after the polls: the forced end follows.
bool poll_until_exit(HANDLE process, const Pause& pause) {
  for (unsigned poll = 0; poll < kPollLimit; ++poll) {
    // Anything but a time-out, a failed test included, counts as ended.
    if (::WaitForSingleObject(process, 0) != WAIT_TIMEOUT) return false;
    pause(kPollIntervalMs);
  }
  return true;
}

}  // namespace

void wait_for_exit(std::uint32_t process_id, const UpdateLog& log, const Pause& pause) {
  if (process_id != 0) {
    UniqueProcess process = open_application(process_id);
    if (process && poll_until_exit(process.get(), pause)) {
      log.append(kForcedEnd);
      // Without the right to terminate this fails; the backup's retries are what is left.
      ::TerminateProcess(process.get(), kForcedExitCode);
      pause(kPauseAfterTerminateMs);
    }
  }
  log.append(kMainProgramExited);
}

}  // namespace tavrio::updater
