// The uninstaller's command line and the dispatch to its three modes.
#pragma once

#include <string>
#include <vector>

#include "bin/commands.h"

namespace tavrio::uninstall {

struct NormalOptions {
  bool silent = false;       // some argument is exactly "--silent"
  bool delete_data = false;  // some argument is exactly "--delete-data"
  bool wait = false;         // some argument is exactly "--wait"
};

// Arguments after the first "--cleanup", or nullopt-like empty flag when there is none.
struct CleanupRequest {
  bool present = false;
  std::vector<std::wstring> arguments;
};

CleanupRequest find_cleanup(const std::vector<std::wstring>& arguments);
NormalOptions read_options(const std::vector<std::wstring>& arguments);

// The whole program: reads the command line, runs one mode, returns the exit code: 0, except a
// cleanup run's 2 and, with "--wait", 1 when the removal left something or did not report.
int run_uninstaller(const std::vector<std::wstring>& arguments);

}  // namespace tavrio::uninstall
