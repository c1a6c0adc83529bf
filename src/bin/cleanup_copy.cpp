#include "bin/cleanup_copy.h"

#include <windows.h>

#include "bin/locations.h"
#include "bin/commands.h"
#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/identity.h"
#include "common/os_error.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "common/text.h"

namespace tavrio::uninstall {

std::vector<std::wstring> cleanup_arguments(const std::wstring& install_dir,
                                            const CleanupCopyStart& how, DWORD first_process_id) {
  std::vector<std::wstring> arguments = {kCleanupOption, install_dir,
                                         how.keep_local_data ? kKeepModeWord : kAllModeWord,
                                         widen(decimal(first_process_id))};
  if (how.from_window) arguments.push_back(kFromWindowWord);
  if (how.first_process_waits) arguments.push_back(kFirstProcessWaitsWord);
  return arguments;
}

CleanupCopyResult start_cleanup_copy(const std::wstring& install_dir, const CleanupCopyStart& how,
                                     UniqueProcess* copy) {
  std::wstring self;
  if (Status s = own_executable_path(&self); !s.ok())
    return CleanupCopyResult::failed(CopyStage::kLocateSelf, s);

  // Without a temporary folder there is nowhere safe to put the copy: never a relative path.
  std::wstring temp;
  if (Status s = find_temp_folder(&temp); !s.ok())
    return CleanupCopyResult::failed(CopyStage::kCopy, s);
  // A temporary folder inside the installation counts as none: the copy would delete the folder
  // it runs from and leave the install directory behind.
  if (may_lie_within(temp, install_dir)) {
    return CleanupCopyResult::failed(CopyStage::kCopy, OsError{ERROR_PATH_NOT_FOUND});
  }
  const std::wstring target = join(temp, bundle::kCleanupCopy);
  // Overwrites a copy left by an earlier uninstall; one that is still running stays locked.
  if (Status s = copy_file(self, target); !s.ok())
    return CleanupCopyResult::failed(CopyStage::kCopy, s);

  ProcessStart start;
  start.program = target;
  start.arguments = cleanup_arguments(install_dir, how, ::GetCurrentProcessId());
  if (Status s = start_process(start, copy); !s.ok())
    return CleanupCopyResult::failed(CopyStage::kStart, s);
  return {};
}

}  // namespace tavrio::uninstall
