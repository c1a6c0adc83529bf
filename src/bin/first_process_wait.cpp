#include "bin/first_process_wait.h"

#include <windows.h>

#include <cstdint>
#include <optional>

#include "common/command_line.h"
#include "common/handles.h"

namespace tavrio::uninstall {
namespace {

// An ended process can still be opened as long as anyone holds a handle on it: the Apps list, a
// script or an installer that waits on the uninstaller keeps it for as long as it likes. So a
// process counts as running only while its exit code says so.
bool process_running(DWORD pid) {
  UniqueProcess process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return false;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) return true;  // cannot tell: keep waiting
  return code == STILL_ACTIVE;
}

}  // namespace

void wait_for_first_process(const std::wstring& pid_text, Pause pause) {
  std::optional<std::uint32_t> pid = read_process_id(pid_text);
  for (int poll = 0; poll < kFirstProcessPolls; ++poll) {
    if (!pid || *pid == 0 || !process_running(*pid)) break;
    pause(kFirstProcessPollMs);
  }
  pause(kFirstProcessSettleMs);
}

}  // namespace tavrio::uninstall
