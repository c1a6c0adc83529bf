#include "bin/modes.h"

#include <algorithm>
#include <optional>

#include "bin/cleanup_copy.h"
#include "bin/cleanup_report.h"
#include "bin/locations.h"
#include "bin/message_box.h"
#include "bin/messages.h"
#include "bin/cleanup_run.h"
#include "bin/installation_guard.h"
#include "bin/preparatory_steps.h"
#include "bin/setup_log.h"
#include "bin/window.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/text.h"

namespace tavrio::uninstall {
namespace {

bool has_argument(const std::vector<std::wstring>& arguments, const wchar_t* word) {
  return std::find(arguments.begin(), arguments.end(), word) != arguments.end();
}

// Nothing is stopped or deleted unless the folder is recognisably an installation: a "--dir"
// typo must not empty some other folder.
bool guard_install_directory(const std::wstring& install_dir) {
  if (is_install_directory(install_dir)) return true;
  show_message(nullptr, no_installation_text(install_dir, true));
  return false;
}

int run_silent(const std::wstring& install_dir, const NormalOptions& options) {
  run_preparatory_steps();
  // Made before the copy starts, so that the copy finds it.
  std::optional<CleanupReport> report;
  if (options.wait) report.emplace();
  UniqueProcess copy;
  const CleanupCopyResult started = start_cleanup_copy(
      install_dir,
      {.keep_local_data = !options.delete_data, .first_process_waits = report && report->ok()},
      &copy);
  append_setup_log(started.ok() ? std::string(kScheduled) : silent_start_failed_line(started));
  if (!report) return 0;
  if (!started.ok()) return 1;
  return exit_code_after(report->wait(copy.get()), *report);
}

}  // namespace

CleanupRequest find_cleanup(const std::vector<std::wstring>& arguments) {
  CleanupRequest request;
  auto found = std::find(arguments.begin(), arguments.end(), kCleanupOption);
  if (found == arguments.end()) return request;
  request.present = true;
  request.arguments.assign(found + 1, arguments.end());
  return request;
}

NormalOptions read_options(const std::vector<std::wstring>& arguments) {
  NormalOptions options;
  options.silent = has_argument(arguments, kSilentOption);
  options.delete_data = has_argument(arguments, kDeleteDataOption);
  options.wait = has_argument(arguments, kWaitOption);
  return options;
}

int run_uninstaller(const std::vector<std::wstring>& arguments) {
  if (CleanupRequest cleanup = find_cleanup(arguments); cleanup.present) {
    return run_cleanup(cleanup.arguments);
  }
  const std::wstring install_dir = resolve_install_dir(arguments);
  if (!guard_install_directory(install_dir)) return 0;
  const NormalOptions options = read_options(arguments);
  if (options.silent) return run_silent(install_dir, options);
  return run_uninstall_window(install_dir, options.wait);
}

}  // namespace tavrio::uninstall
