// The removal engine: the setup log, the preparatory steps of the first process and the
// cleanup run of the cleanup copy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"

namespace tavrio::uninstall {

// Appends one line to "tavrio_setup.log" in the temporary folder; dropped silently when that
// folder is unknown or the file cannot be written.
void append_setup_log(std::string_view message);

// The preparatory steps, always run back to back in this order; none reports a failure.
void stop_main_program();    // taskkill /F /IM Tavrio.exe, run hidden to its end
void remove_shortcuts();     // Tavrio.lnk in each of shortcut_folders()
void remove_registration();  // HKCU uninstall key, whole tree
void run_preparatory_steps();

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
using Pause = void (*)(unsigned milliseconds);
int run_cleanup(const std::vector<std::wstring>& cleanup_arguments, Pause pause = pause_ms);

// Whether a folder is recognisably an installation, which both processes check before anything
// is stopped or deleted: not the root of a volume, and holding "Tavrio.exe". A folder that only
// holds "卸载.exe" is the user's Downloads as likely as an installation. Both modes delete
// "卸载.exe" and then "Tavrio.exe" last, and keep both when anything else stayed, so an
// uninstall that was cut off or left something can be run again.
bool is_install_directory(const std::wstring& install_dir);

}  // namespace tavrio::uninstall
