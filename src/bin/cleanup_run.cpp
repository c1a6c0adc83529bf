#include "bin/cleanup_run.h"

#include <windows.h>

#include <cstdint>
#include <optional>

#include "bin/cleanup_report.h"
#include "bin/commands.h"
#include "bin/first_process_wait.h"
#include "bin/installation_guard.h"
#include "bin/locations.h"
#include "bin/message_box.h"
#include "bin/messages.h"
#include "bin/removal.h"
#include "bin/setup_log.h"
#include "common/bundle.h"
#include "common/command_line.h"
#include "common/file_ops.h"
#include "common/path.h"

namespace tavrio::uninstall {
namespace {

// The cleanup copy inherits the first process's current folder, usually the install directory
// itself (Explorer and the Apps list start programs that way), and a process's current folder
// cannot be removed. So the install directory is first made a full path against that folder,
// exactly as the first process would have resolved it, and then the copy moves to its own
// folder, the temporary folder, or else to the system folder. Should it stay where it is, the
// removal still deletes everything it can; only the folder itself then stays behind.
std::wstring leave_install_directory(const std::wstring& install_dir) {
  // An empty text has no full path; it keeps meaning what it meant to the first process.
  if (install_dir.empty()) return install_dir;
  std::wstring absolute = full_path(install_dir);
  std::wstring refuge;
  if (find_temp_folder(&refuge).ok() && ::SetCurrentDirectoryW(refuge.c_str())) return absolute;
  wchar_t system[MAX_PATH];
  UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  if (n > 0 && n < MAX_PATH) ::SetCurrentDirectoryW(system);
  return absolute;
}

// What the cleanup run was asked for, read from its arguments.
struct CleanupRun {
  std::wstring install_dir;
  bool all = false;
  std::wstring pid_text;
  bool from_window = false;
  bool first_process_waits = false;
};

CleanupRun read_cleanup_run(const std::vector<std::wstring>& arguments) {
  CleanupRun run;
  run.install_dir = arguments[0];
  run.all = arguments[1] == kAllModeWord;
  run.pid_text = arguments[2];
  for (size_t i = 3; i < arguments.size(); ++i) {
    run.from_window = run.from_window || arguments[i] == kFromWindowWord;
    run.first_process_waits = run.first_process_waits || arguments[i] == kFirstProcessWaitsWord;
  }
  return run;
}

// The user who started the uninstall from the window learns what stayed; the box has no owner,
// the window is gone by now.
void show_leftover(const std::wstring& install_dir, const Leftover& left) {
  const std::wstring uninstaller = join(install_dir, bundle::kShippedUninstaller);
  show_message(nullptr,
               leftover_box_text(left.subject(), left.error(), uninstaller, exists(uninstaller)),
               kWindowTitle);
}

}  // namespace

int run_cleanup(const std::vector<std::wstring>& cleanup_arguments, Pause pause) {
  if (cleanup_arguments.size() < 3) return 2;
  const CleanupRun run = read_cleanup_run(cleanup_arguments);
  const std::wstring install_dir = leave_install_directory(run.install_dir);
  const std::optional<std::uint32_t> first_pid = read_process_id(run.pid_text);
  // A first process that waits stays until it hears from this copy: everything that does not
  // need it gone is deleted first, and it is told the ending before what does.
  auto report = [&](bool all_removed) {
    if (run.first_process_waits && first_pid) report_to_first_process(*first_pid, all_removed);
  };
  if (!run.first_process_waits) wait_for_first_process(run.pid_text, pause);
  if (!is_install_directory(install_dir)) {
    append_setup_log(no_installation_text(install_dir, false));
    report(false);
    return 0;
  }
  const Leftover left = remove_installation(install_dir, run.all, pause, [&] {
    report(true);
    if (run.first_process_waits) wait_for_first_process(run.pid_text, pause);
  });
  if (!left.ok()) {
    report(false);
    if (run.from_window) show_leftover(install_dir, left);
  }
  return 0;
}

}  // namespace tavrio::uninstall
