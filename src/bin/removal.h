// The removal engine: the setup log, the preparatory steps of the first process and the
// cleanup run of the cleanup copy.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavrio::uninstall {

// Appends one line to "tavrio_setup.log" in the temporary folder; dropped silently when that
// folder is unknown or the file cannot be written.
void append_setup_log(std::string_view message);

// The preparatory steps, always run back to back in this order; none reports a failure.
void stop_main_program();    // taskkill /F /IM Tavrio.exe, run hidden to its end
void remove_shortcuts();     // Tavrio.lnk on the desktop and in the start menu
void remove_registration();  // HKCU uninstall key, whole tree
void run_preparatory_steps();

// The whole work of the cleanup copy: the arguments after "--cleanup" (install directory, mode
// word, process id). Returns the exit code: 2 with fewer than three arguments, else 0.
int run_cleanup(const std::vector<std::wstring>& cleanup_arguments);

inline constexpr char kScheduled[] = "已安排删除";
inline constexpr char kAllRemoved[] = "程序与本地资料已全部删除";
inline constexpr char kProgramRemovedDataKept[] = "程序文件已删除，本地资料保留";

}  // namespace tavrio::uninstall
