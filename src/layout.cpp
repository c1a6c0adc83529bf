#include "layout.h"

#include <windows.h>

#include "common/bundle.h"
#include "common/trash.h"
#include "common/path.h"

namespace tavrio::updater {
namespace {

void place_stage(Layout* layout) {
  auto in_stage = [&](const std::wstring& name) { return join(layout->staging_dir, name); };
  layout->staged_exe = in_stage(layout->exe_name);
  layout->staged_program_folder = in_stage(bundle::kProgramFolder);
  layout->staged_runtime_library = join(layout->staged_program_folder, bundle::kRuntimeLibrary);
  layout->staged_base_library = join(layout->staged_program_folder, bundle::kBaseLibrary);
  layout->staged_uninstaller = in_stage(bundle::kShippedUninstaller);
  layout->staging_trash = layout->staging_dir + layout->trash_suffix;
}

}  // namespace

Layout layout_of(const UpdateRequest& request, unsigned long process_id, unsigned long long tick) {
  Layout layout;
  layout.install_dir = request.install_dir;
  layout.staging_dir = request.staging_dir;
  layout.exe_name = request.exe_name;
  layout.log_path = request.log_path;
  auto in_install = [&](const std::wstring& name) { return join(request.install_dir, name); };
  layout.installed_exe = in_install(request.exe_name);
  layout.new_executable = layout.installed_exe + std::wstring(bundle::kNewExecutableSuffix);
  layout.program_folder = in_install(bundle::kProgramFolder);
  layout.backup_folder = in_install(bundle::kBackupFolder);
  layout.installed_uninstaller = in_install(bundle::kShippedUninstaller);
  layout.failure_report = in_install(bundle::kFailureReport);
  layout.pending_marker = in_install(bundle::kPendingMarker);
  layout.update_lock = in_install(bundle::kUpdateLock);
  layout.journal = in_install(bundle::kJournal);
  layout.journal_temporary = in_install(bundle::kJournalTemporary);
  // Everything a trash name adds to the folder's: ".<process id>.<tick>.trash".
  layout.trash_suffix = trash::trash_name(L"", process_id, tick);
  layout.backup_trash = layout.backup_folder + layout.trash_suffix;
  place_stage(&layout);
  return layout;
}

Layout layout_of(const UpdateRequest& request) {
  return layout_of(request, ::GetCurrentProcessId(), ::GetTickCount64());
}

Layout with_staging_dir(const Layout& layout, const std::wstring& staging_dir) {
  Layout moved = layout;
  moved.staging_dir = staging_dir;
  place_stage(&moved);
  return moved;
}

}  // namespace tavrio::updater
