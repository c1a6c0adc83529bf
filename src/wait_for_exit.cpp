#include "wait_for_exit.h"

#include <string_view>

#include "common/identity.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "messages.h"

namespace tavrio::updater {
namespace {

// Two paths as full paths without a "\\?\" or "\??\" prefix, the form in which the system names a
// process's image.
bool same_full_path(const std::wstring& a, const std::wstring& b) {
  return same_name(full_path(without_device_prefix(a)), full_path(without_device_prefix(b)));
}

bool same_file(const std::wstring& a, const std::wstring& b) {
  const std::optional<FileIdentity> x = identity_of(a);
  return x && x == identity_of(b);
}

// True when the application is still running after the polls: the forced end follows. Each
// poll waits on the handle rather than testing it and sleeping, so that the exit is noticed
// when it happens, not up to a poll interval later.
bool poll_until_exit(HANDLE process, const ProcessWait& wait_on) {
  for (unsigned poll = 0; poll < kApplicationPolls; ++poll) {
    if (wait_on(process, kApplicationPollMs)) return false;
  }
  return true;
}

}  // namespace

FILETIME own_creation_time() {
  FILETIME created{};
  (void)process_creation_time(::GetCurrentProcess(), &created);
  return created;
}

bool is_the_application(HANDLE process, const std::wstring& installed_exe,
                        const FILETIME& updater_created) {
  FILETIME created;
  if (!process_creation_time(process, &created).ok() ||
      ::CompareFileTime(&created, &updater_created) >= 0) {
    return false;
  }
  std::wstring image;
  if (!process_image_path(process, &image).ok()) return false;
  return same_full_path(image, installed_exe) || same_file(image, installed_exe);
}

UniqueProcess open_application(std::uint32_t process_id, const std::wstring& installed_exe,
                               const FILETIME& updater_created) {
  if (process_id == 0) return {};
  constexpr DWORD kQuery = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
  UniqueProcess process(::OpenProcess(kQuery | PROCESS_TERMINATE, FALSE, process_id));
  if (!process) process.reset(::OpenProcess(kQuery, FALSE, process_id));
  if (process && !is_the_application(process.get(), installed_exe, updater_created)) {
    process.reset();
  }
  return process;
}

void wait_for_exit(HANDLE application, const UpdateLog& log, const Pause& pause,
                   const ProcessWait& wait_on) {
  if (application && poll_until_exit(application, wait_on)) {
    log.append(kForcedEnd);
    // Without the right to terminate this fails; the backup's retries are what is left.
    ::TerminateProcess(application, kForcedExitCode);
    pause(kPauseAfterTerminateMs);
  }
  log.append(kMainProgramExited);
}

}  // namespace tavrio::updater
