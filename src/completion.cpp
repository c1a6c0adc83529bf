#include "completion.h"

#include <windows.h>

#include "common/clock.h"
#include "common/file_ops.h"
#include "common/tree_removal.h"
#include "common/handles.h"
#include "common/log_line.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "common/text.h"
#include "swap.h"

namespace tavrio::updater {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring in_install_dir(const UpdateRequest& request, std::wstring_view name) {
  return join(request.install_dir, std::wstring(name));
}

// Empties a report that an earlier failed run left behind.
void truncate(HANDLE file) {
  FILE_ALLOCATION_INFO allocation{};
  if (::SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation)) {
    return;
  }
  FILE_END_OF_FILE_INFO end{};
  ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
}

}  // namespace

void refresh_uninstaller(const UpdateRequest& request, const UpdateLog& log) {
  const std::wstring staged = join(request.staging_dir, std::wstring(kUninstallerName));
  if (!exists(staged)) return;
  (void)copy_file(staged, in_install_dir(request, kUninstallerName));
  log.append(kUninstallerRefreshed);
}

void end_with_success(const UpdateLog& log) {
  log.append(kUpdateSucceeded);
}

std::string failure_report_text(std::string_view stamp, std::string_view reason,
                                const std::wstring& log_path) {
  std::string text(kReportHeading);
  text += stamp;
  text += kReportReason;
  text += reason;
  text += kReportLog;
  text += display_form(log_path);
  return text;
}

void write_failure_report(const std::wstring& report_path, std::string_view text) {
  const std::wstring path = win32_path(report_path);
  UniqueFile file(
      ::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS, 0, nullptr));
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  if (!file) return;
  if (existed) truncate(file.get());
  write_all(file.get(), text);
}

void end_with_failure(const UpdateRequest& request, const std::string& reason,
                      const UpdateLog& log) {
  std::string line(kUpdateFailed);
  line += reason;
  log.append(line);
  write_failure_report(in_install_dir(request, kFailureReportName),
                       failure_report_text(time_of_day_stamp(), reason, request.log_path));
}

void clean_up(const UpdateRequest& request, const UpdatePaths& paths, CleanupScope scope) {
  if (!scope.keep_backup) (void)remove_tree(paths.backup_folder);
  if (!scope.keep_staging) (void)remove_tree(request.staging_dir);
  (void)remove_file(in_install_dir(request, kPendingMarkerName));
  (void)remove_file(in_install_dir(request, kUpdateLockName));
  if (!scope.exe_name_refused) (void)remove_file(new_executable_path(paths));
}

void restart_application(const UpdateRequest& request, const UpdatePaths& paths) {
  if (!exists(paths.installed_exe)) return;
  ProcessStart start;
  start.program = paths.installed_exe;
  start.current_directory = request.install_dir;
  (void)start_process(start);
}

}  // namespace tavrio::updater
