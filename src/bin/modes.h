// The uninstaller's command line and the dispatch to its three modes.
#pragma once

#include <string>
#include <vector>

namespace tavrio::uninstall {

struct NormalOptions {
  bool silent = false;       // some argument is exactly "--silent"
  bool delete_data = false;  // some argument is exactly "--delete-data"
};

// Arguments after the first "--cleanup", or nullopt-like empty flag when there is none.
struct CleanupRequest {
  bool present = false;
  std::vector<std::wstring> arguments;
};

CleanupRequest find_cleanup(const std::vector<std::wstring>& arguments);
NormalOptions read_options(const std::vector<std::wstring>& arguments);

// The command-line words, compared exactly and case-sensitively with whole arguments.
inline constexpr wchar_t kCleanupOption[] = L"--cleanup";
inline constexpr wchar_t kSilentOption[] = L"--silent";
inline constexpr wchar_t kDeleteDataOption[] = L"--delete-data";
inline constexpr wchar_t kDirOption[] = L"--dir";
inline constexpr wchar_t kAllModeWord[] = L"all";    // the cleanup run deletes the local data
inline constexpr wchar_t kKeepModeWord[] = L"keep";  // anything but "all" keeps it

// The whole program: reads the command line, runs one mode, returns the exit code.
int run_uninstaller(const std::vector<std::wstring>& arguments);

}  // namespace tavrio::uninstall
