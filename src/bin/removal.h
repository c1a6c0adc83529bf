// Removing the installation's entries from the install directory, in order, and keeping the
// first one that stayed.
#pragma once

#include <functional>
#include <string>

#include "bin/first_process_wait.h"
#include "common/step_result.h"

namespace tavrio::uninstall {

// Success, or the first entry that a removal left in place and the error that kept it there.
enum class RemovalStep { kEntryLeft };
using Leftover = StepResult<RemovalStep>;

// Removes what the installation owns (keep mode the program entries and the stage; all mode also
// what the updater leaves there, its trash folders and the local data; never what the
// installation does not own); when all of that went, calls `once_owned_gone`; then removes the
// uninstaller and the main program, while everything else went, and in all mode the folder once
// it is empty. Writes the outcome line to the setup log and returns the first entry that stayed.
// `pause` waits before the uninstaller's second try.
Leftover remove_installation(const std::wstring& install_dir, bool all, Pause pause,
                             const std::function<void()>& once_owned_gone);

}  // namespace tavrio::uninstall
