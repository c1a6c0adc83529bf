// The update request: what the application asks for on the updater's command line.
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
inline constexpr std::wstring_view kReadyKey = L"--ready";

// Filled once from the command line; every text exactly as it was given.
struct UpdateRequest {
  std::uint32_t process_id = 0;  // 0: no process to wait for
  std::wstring install_dir;
  std::wstring exe_name;
  std::wstring staging_dir;
  std::wstring log_path;  // empty: nothing is logged
  // The name of the event the application waits on before it exits (ready_signal.h); nothing
  // when the application exits by itself right after starting the updater.
  std::optional<std::wstring> ready_event = std::nullopt;
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

}  // namespace tavrio::updater
