// The actions and undos of the swap: the refusals of an unsafe executable name or staging
// directory, the package check, the new executable made ready, clearing an old backup, the
// backup, and the two renames that put the new version in place. Each does one thing and
// neither logs nor writes the journal: the plan does both, in its own order.
#pragma once

#include <string_view>

#include "step.h"

namespace tavrio::updater {

inline constexpr size_t kMaxFileNameLength = 255;  // what a file system allows in one name

// True for a name that can only mean a file directly in the folder it is joined to: no "\" or
// "/", no ":", not "." or "..", no trailing dot or space (Win32 drops them, so the name would
// mean another file), no character that file names cannot hold, not a device name (CON, NUL,
// COM1... also with an extension), at most 255 characters.
bool is_plain_file_name(std::wstring_view name);

// Refuses an executable name that is not a plain file name: joined to the install or staging
// directory it could name a file outside both.
UpdateResult check_exe_name(Run& run);

// Refuses a staging directory that is the install directory, one of the folders above it or its
// program folder, whatever their spelling (they are compared by identity): removing the staging
// directory afterwards would remove the installation. A staging directory at the root of a
// volume is always refused, and so is every one when the install directory cannot be opened,
// since nothing can then be proven about it. One that cannot be opened is left to the package
// check.
UpdateResult check_staging_placement(Run& run);

// The staged executable, python312.dll and base_library.zip must exist; names the first missing.
UpdateResult check_package(Run& run);

// Copies the staged executable to "<exe>.new" and flushes it to disk before anything of the
// installation moves, so that after the replacement only renames remain.
UpdateResult make_new_executable(Run& run);
Status remove_new_executable(const Layout& layout);

// Removes a backup folder left by an earlier run, while the program folder is in place (an
// interrupted swap has been settled by then); the backup never runs over an old one.
UpdateResult clear_old_backup(Run& run);

// Renames the program folder to the backup folder (one attempt; the plan retries).
UpdateResult back_up_program_folder(Run& run);
// Puts the backup back in place of the program folder.
Status put_backup_back(const Layout& layout);

// Renames the staged program folder into place.
UpdateResult move_program_folder_in(Run& run);
// Removes a new runtime that was moved in, before the backup goes back.
Status remove_new_runtime(const Layout& layout);

// Renames "<exe>.new" over the installed executable, on the disk before it returns.
UpdateResult move_executable_in(Run& run);

// The journal goes with a swap that was undone.
Status remove_journal(const Layout& layout);

}  // namespace tavrio::updater
