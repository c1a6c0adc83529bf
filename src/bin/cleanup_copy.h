// Hands the removal over to a copy of the uninstaller in the temporary folder, because a
// program cannot delete the folder it runs from.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "bin/messages.h"
#include "common/handles.h"

namespace tavrio::uninstall {

// What the cleanup copy is to do, and for whom.
struct CleanupCopyStart {
  bool keep_local_data = true;
  bool from_window = false;          // it shows a box when something stays
  bool first_process_waits = false;  // it reports to the first process (cleanup_report.h)
};

// Copies the own executable to the temporary folder as "tavrio-uninstall-cleanup.exe" and
// starts it with "--cleanup", the install directory, "keep" or "all", the own process id and the
// words of `how`. Success, or the stage that failed and its error. A temporary folder
// that lies inside the install directory counts as none: the copy step fails with
// ERROR_PATH_NOT_FOUND, as when the system names no temporary folder at all. `copy`, when
// given, receives the started copy's process handle.
CleanupCopyResult start_cleanup_copy(const std::wstring& install_dir, const CleanupCopyStart& how,
                                     UniqueProcess* copy = nullptr);

// The arguments after the program path: "--cleanup", the install directory exactly as given,
// "keep" or "all", the first process's id in decimal, then "window" and "wait" where `how` asks
// for them (a silent start without --wait has no word after the id).
std::vector<std::wstring> cleanup_arguments(const std::wstring& install_dir,
                                            const CleanupCopyStart& how, DWORD first_process_id);

}  // namespace tavrio::uninstall
