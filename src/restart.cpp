#include "restart.h"

#include <windows.h>
#include "common/file_ops.h"
#include "common/process_ops.h"
#include "messages.h"

namespace tavrio::updater {

UniqueProcess restart_application(const Layout& layout, const UpdateLog& log, const Pause& pause) {
  UniqueProcess started;
  ProcessStart start;
  start.program = layout.installed_exe;
  start.current_directory = layout.install_dir;
  for (int attempt = 1; attempt <= kRestartAttempts; ++attempt) {
    // Asked only after a failed start: a test of its presence made first could be refused for a
    // moment and leave the application not started at all.
    const Status failed = start_process(start, &started);
    if (failed.ok() || !exists(layout.installed_exe)) break;
    log.append(restart_attempt_line(attempt, failed));
    if (attempt < kRestartAttempts) pause(kRestartPauseMs);
  }
  return started;
}

void wait_until_ready(const UniqueProcess& application) {
  if (!application) return;
  // Loaded only now, after the restart: the updater's own start stays free of the window
  // system, and it is a system DLL from the system folder.
  HMODULE user32 = ::LoadLibraryExW(L"user32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (user32 == nullptr) return;
  using WaitForInputIdleFn = DWORD(WINAPI*)(HANDLE, DWORD);
  FARPROC found = ::GetProcAddress(user32, "WaitForInputIdle");
  if (found != nullptr) {
    reinterpret_cast<WaitForInputIdleFn>(reinterpret_cast<void*>(found))(application.get(),
                                                                         kReadyWaitMs);
  }
  ::FreeLibrary(user32);
}

}  // namespace tavrio::updater
