// Every place the uninstaller reads, deletes or writes, derived from the command line, its own
// path and the environment only. None of these fails: a missing source gives the fallback.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/os_error.h"

namespace tavrio::uninstall {

// Reads an environment variable; nullopt when it is not set. The real lookup also treats a
// variable set to the empty text as not set, and the locations below treat one that is not a
// full path ("." or "C:Tavrio") as not set, so that no location becomes a relative name.
using EnvLookup = std::function<std::optional<std::wstring>(const wchar_t* name)>;
std::optional<std::wstring> process_environment(const wchar_t* name);

// The argument after the first "--dir" that has one; else the running uninstaller's folder;
// else local base \ "Programs" \ "Tavrio". `own_exe` is nullopt when the own path is unknown.
std::wstring install_dir_from(const std::vector<std::wstring>& arguments,
                              const std::optional<std::wstring>& own_exe, const EnvLookup& env);
// The same, for this process's command line, own path and environment.
std::wstring resolve_install_dir(const std::vector<std::wstring>& arguments);

std::wstring local_base_folder(const EnvLookup& env = process_environment);  // or "C:\\"
std::wstring local_data_folder(const EnvLookup& env = process_environment);  // base \ Tavrio
std::wstring desktop_folder(const EnvLookup& env = process_environment);
std::wstring start_menu_folder(const EnvLookup& env = process_environment);

// The folders in which the shell keeps the user's Desktop and Start-menu Programs, as
// SHGetKnownFolderPath reports them (not checked for existence): they follow a Desktop that was
// moved, as the usual cloud-backup setting moves it. nullopt where the shell reports none.
enum class ShellFolder { kDesktop, kPrograms };
std::optional<std::wstring> shell_folder(ShellFolder folder);

// Where the installation's shortcut may lie: the desktop and start-menu folders above, then the
// shell's Desktop and Programs where they differ from them.
std::vector<std::wstring> shortcut_folders();

// The user's temporary folder (GetTempPath2W where the system has it, GetTempPathW otherwise),
// or the reason it is unknown: the system's error, or ERROR_PATH_NOT_FOUND (3) when it gave an
// empty path without one.
Status find_temp_folder(std::wstring* folder);

}  // namespace tavrio::uninstall
