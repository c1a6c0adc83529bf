// What the first process does before the cleanup copy removes the installation.
#pragma once

namespace tavrio::uninstall {

// The preparatory steps, always run back to back in this order; none reports a failure.
void stop_main_program();    // taskkill /F /IM Tavrio.exe, run hidden to its end
void remove_shortcuts();     // Tavrio.lnk in each of shortcut_folders()
void remove_registration();  // HKCU uninstall key, whole tree
void run_preparatory_steps();

}  // namespace tavrio::uninstall
