// The actions and undos of the swap: the refusals of an unsafe executable name or staging
// directory, the package check, the new executable made ready, clearing an old backup, the
// backup, and the two renames that put the new version in place. Each does one thing and
// neither logs nor writes the journal: the plan does both, in its own order.
#pragma once

#include <string_view>

#include "common/file_name.h"
#include "plan_row.h"

namespace tavrio::updater {

// Refuses an executable name that is not a plain file name: joined to the install or staging
// directory it could name a file outside both.
UpdateResult check_exe_name(Run& run);

// Refuses a staging directory that is the install directory, one of the folders above it or its
// program folder, whatever their spelling (they are compared by identity): removing the staging
// directory afterwards would remove the installation. A staging directory at the root of a
// volume is always refused, and so is every one when the install directory cannot be opened,
// since nothing can then be proven about it (nor can it be locked). One that cannot be opened is
// left to the package
// check.
UpdateResult check_staging_placement(Run& run);

// The staged executable, python312.dll and base_library.zip must exist; names the first missing.
UpdateResult check_package(Run& run);

// When the staging directory holds a package manifest, every file it lists must be there with
// its size and SHA-256, and "_internal" must hold nothing else: the first that does not match
// is named (kPackageDamaged), and a manifest that cannot be used says why (kManifestInvalid).
// Without a manifest there is nothing more to check.
UpdateResult check_against_manifest(Run& run);

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

// Renames "<exe>.new" over the installed executable.
UpdateResult move_executable_in(Run& run);

// The journal goes with a swap that was undone.
Status remove_journal(const Layout& layout);

}  // namespace tavrio::updater
