#include "swap.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/file_name.h"
#include "common/file_ops.h"
#include "common/identity.h"
#include "common/os_error.h"
#include "common/path.h"
#include "common/text.h"
#include "common/tree_removal.h"
#include "package_manifest.h"

namespace tavrio::updater {
namespace {

bool contains(const std::vector<FileIdentity>& identities, const FileIdentity& identity) {
  return std::find(identities.begin(), identities.end(), identity) != identities.end();
}

bool stage_may_hold_installation(const Layout& layout) {
  if (is_volume_root(layout.staging_dir)) return true;
  std::optional<std::vector<FileIdentity>> install = folder_and_ancestors(layout.install_dir);
  if (!install) return true;
  std::optional<FileIdentity> stage = identity_of(layout.staging_dir);
  if (!stage) return false;
  // A staging directory that is the program folder itself would be moved aside with the backup,
  // restored by the rollback and then removed by the cleanup: the installed runtime would go.
  std::optional<FileIdentity> program_folder = identity_of(layout.program_folder);
  return contains(*install, *stage) || (program_folder && *program_folder == *stage);
}

}  // namespace

UpdateResult check_exe_name(Run& run) {
  if (is_plain_file_name(run.layout.exe_name)) return {};
  return step_failed_on(run.layout.exe_name);
}

UpdateResult check_staging_placement(Run& run) {
  // Without the lock the install directory could not be opened: nothing can be proven about the
  // staging directory either.
  if (run.install_locked && !stage_may_hold_installation(run.layout)) return {};
  return step_failed_on(run.layout.staging_dir);
}

UpdateResult check_package(Run& run) {
  const Layout& layout = run.layout;
  for (const std::wstring* file :
       {&layout.staged_exe, &layout.staged_runtime_library, &layout.staged_base_library}) {
    if (!exists(*file)) return step_failed_on(*file);
  }
  return {};
}

UpdateResult check_against_manifest(Run& run) {
  ManifestCheck manifest = check_package_manifest(run.layout.staging_dir);
  switch (manifest.verdict) {
    case ManifestVerdict::kDamaged:
      return UpdateResult::failed(FailureKind::kPackageDamaged, {},
                                  std::move(manifest.damaged_path));
    case ManifestVerdict::kInvalid:
      return UpdateResult::failed(FailureKind::kManifestInvalid, {}, widen(manifest.error));
    case ManifestVerdict::kNoManifest:
    case ManifestVerdict::kMatches:
      break;
  }
  return {};
}

UpdateResult make_new_executable(Run& run) {
  const Layout& layout = run.layout;
  // A leftover of an interrupted run (even a read-only one) must not stand in the copy's way.
  (void)remove_file(layout.new_executable);
  Status ready = copy_file(layout.staged_exe, layout.new_executable);
  if (ready.ok()) ready = flush_file(layout.new_executable);
  if (ready.ok()) return {};
  (void)remove_file(layout.new_executable);
  return step_failed(ready);
}

Status remove_new_executable(const Layout& layout) {
  (void)remove_file(layout.new_executable);
  return {};
}

UpdateResult clear_old_backup(Run& run) {
  const Layout& layout = run.layout;
  // Without the program folder the backup may be the only copy of the runtime: it stays.
  if (!exists(layout.backup_folder) || !exists(layout.program_folder)) return {};
  if (Status s = remove_tree(layout.backup_folder); !s.ok()) return step_failed(s);
  return {};
}

UpdateResult back_up_program_folder(Run& run) {
  return step_result(rename_path(run.layout.program_folder, run.layout.backup_folder));
}

Status put_backup_back(const Layout& layout) {
  const Status moved = rename_path(layout.backup_folder, layout.program_folder);
  // No backup and the program folder in place: it went back before, in a rollback that was cut
  // off after its rename. Only the rename's own answer says the backup is not there; a test of
  // its presence that is refused for a moment must not pass for that.
  const bool gone = moved.code() == ERROR_FILE_NOT_FOUND || moved.code() == ERROR_PATH_NOT_FOUND;
  if (gone && exists(layout.program_folder)) return {};
  return moved;
}

UpdateResult move_program_folder_in(Run& run) {
  return step_result(rename_path(run.layout.staged_program_folder, run.layout.program_folder));
}

Status remove_new_runtime(const Layout& layout) {
  // After a failed rename there is none, and this fails quietly.
  (void)remove_tree(layout.program_folder);
  return {};
}

UpdateResult move_executable_in(Run& run) {
  // Left to the system to write, like the renames before it: the application is waiting for it.
  // It is on the disk before anything depends on it (clean_up_after_restart), and a run cut off
  // before that finds "<exe>.new" still there and renames it in (recovery.h).
  return step_result(rename_path(run.layout.new_executable, run.layout.installed_exe));
}

Status remove_journal(const Layout& layout) {
  (void)remove_file(layout.journal);
  return {};
}

}  // namespace tavrio::updater
