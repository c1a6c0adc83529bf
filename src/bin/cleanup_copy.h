// Hands the removal over to a copy of the uninstaller in the temporary folder, because a
// program cannot delete the folder it runs from.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "bin/messages.h"

namespace tavrio::uninstall {

// Copies the own executable to the temporary folder as "tavrio-uninstall-cleanup.exe" and
// starts it with "--cleanup", the install directory, "keep" or "all" and the own process id.
// Success, or the stage that failed and its error. A temporary folder
// that lies inside the install directory counts as none: the copy step fails with
// ERROR_PATH_NOT_FOUND, as when the system names no temporary folder at all.
CleanupCopyResult start_cleanup_copy(const std::wstring& install_dir, bool keep_local_data);

// The arguments after the program path: "--cleanup", the install directory exactly as given,
// "keep" or "all", and the first process's id in decimal.
std::vector<std::wstring> cleanup_arguments(const std::wstring& install_dir, bool keep_local_data,
                                            DWORD first_process_id);

}  // namespace tavrio::uninstall
