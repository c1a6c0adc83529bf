// The cleanup copy's run: what its arguments ask for, leaving the install directory, waiting for
// the first process, the removal and how it ended.
#pragma once

#include <string>
#include <vector>

#include "bin/first_process_wait.h"

namespace tavrio::uninstall {

// The whole work of the cleanup copy: the arguments after "--cleanup" (install directory, mode
// word, process id, then the words "window" and "wait" where given). It deletes only in a folder
// that is recognisably an installation, and only what the installation owns: keep mode the
// program entries and a stage in "update", all mode also what the updater leaves there and the
// local data, and then the folder if nothing else is in it. Its outcome line claims only what
// happened. When something stays, the uninstaller and the main program stay too, and a run
// started from the window shows what stayed in a box. With "wait" it deletes without waiting
// for the first process, reports the ending to it (cleanup_report.h), and only then waits for
// it to end before the uninstaller, the main program and the folder. Returns the exit code: 2
// with fewer than three arguments, else 0. It waits (for the first process, for the system to let
// go of the uninstaller's image) with `pause`, which tests give one that need not sleep.
int run_cleanup(const std::vector<std::wstring>& cleanup_arguments, Pause pause = pause_ms);

}  // namespace tavrio::uninstall
