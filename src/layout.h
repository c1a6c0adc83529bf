// Every path of one update, computed once: from the request, or, for an interrupted run that is
// being finished, with the staging directory its journal names. The steps only read it.
#pragma once

#include <string>

#include "request.h"

namespace tavrio::updater {

struct Layout {
  std::wstring install_dir;
  std::wstring staging_dir;
  std::wstring exe_name;
  std::wstring log_path;

  // The install directory.
  std::wstring installed_exe;
  std::wstring new_executable;  // "<exe>.new" beside the installed one
  std::wstring program_folder;
  std::wstring backup_folder;
  std::wstring installed_uninstaller;
  std::wstring failure_report;
  std::wstring pending_marker;
  std::wstring update_lock;
  std::wstring journal;
  std::wstring journal_temporary;

  // The staging directory.
  std::wstring staged_exe;
  std::wstring staged_program_folder;
  std::wstring staged_runtime_library;
  std::wstring staged_base_library;
  std::wstring staged_uninstaller;

  // The names the backup and the staging directory are moved to before they are deleted, unique
  // to this run: "<folder>.<process id>.<tick>.trash".
  std::wstring trash_suffix;
  std::wstring backup_trash;
  std::wstring staging_trash;
};

// The layout of a request whose directories are already full paths; `process_id` and `tick` make
// the trash names.
Layout layout_of(const UpdateRequest& request, unsigned long process_id, unsigned long long tick);
// The same for this process at this moment.
Layout layout_of(const UpdateRequest& request);

// The layout with another staging directory: the one an interrupted run's journal names.
Layout with_staging_dir(const Layout& layout, const std::wstring& staging_dir);

}  // namespace tavrio::updater
