// The update request: what the application asks for on the updater's command line, and the
// paths derived from it before anything is logged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrio::updater {

inline constexpr std::wstring_view kPidKey = L"--pid";
inline constexpr std::wstring_view kAppKey = L"--app";
inline constexpr std::wstring_view kExeKey = L"--exe";
inline constexpr std::wstring_view kStageKey = L"--stage";
inline constexpr std::wstring_view kLogKey = L"--log";

// What the updater names in the install and staging directories.
inline constexpr std::wstring_view kProgramFolderName = L"_internal";
inline constexpr std::wstring_view kBackupFolderName = L"_internal_old";
inline constexpr std::wstring_view kRuntimeLibraryName = L"python312.dll";
inline constexpr std::wstring_view kBaseLibraryName = L"base_library.zip";
inline constexpr std::wstring_view kUninstallerName = L"卸载.exe";
inline constexpr std::wstring_view kFailureReportName = L"update_failed.txt";
inline constexpr std::wstring_view kPendingMarkerName = L"update_pending.json";
inline constexpr std::wstring_view kUpdateLockName = L"update.lock";
inline constexpr std::wstring_view kJournalName = L"update.journal";
// The new executable is written beside the installed one under this suffix before anything
// moves, and renamed over it at the end, so the installed executable is never half-written.
inline constexpr std::wstring_view kNewExecutableSuffix = L".new";

// Filled once from the command line; every text exactly as it was given.
struct UpdateRequest {
  std::uint32_t process_id = 0;  // 0: no process to wait for
  std::wstring install_dir;
  std::wstring exe_name;
  std::wstring staging_dir;
  std::wstring log_path;  // empty: nothing is logged
};

// The paths every later step works on.
struct UpdatePaths {
  std::wstring install_dir;
  std::wstring staging_dir;
  std::wstring installed_exe;
  std::wstring new_executable;  // <exe>.new beside the installed one
  std::wstring program_folder;
  std::wstring backup_folder;
  std::wstring staged_program_folder;
  std::wstring staged_exe;
  std::wstring installed_uninstaller;
  std::wstring staged_uninstaller;
  std::wstring failure_report;
  std::wstring pending_marker;
  std::wstring update_lock;
  std::wstring journal;
};

// Reads the arguments after the program path strictly in pairs (key, value); unknown keys skip
// their value too, the last pair of a key wins, an invalid "--pid" value gives 0. Nothing when
// the install directory, the executable name or the staging directory is empty: the run then
// ends without a trace.
std::optional<UpdateRequest> read_update_request(const std::vector<std::wstring>& arguments);

// The install and staging directories made full paths once (absolute_path), so that the staging
// check and every operation name the same folders: a trailing dot or a relative part can then
// never mean one folder to the check and another to a rename. The log path stays as given,
// which is how the failure report names it.
UpdateRequest with_absolute_paths(UpdateRequest request);

UpdatePaths derive_paths(const UpdateRequest& request);

}  // namespace tavrio::updater
