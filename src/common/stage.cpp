#include "common/stage.h"

#include <windows.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/tree_removal.h"

namespace tavrio::bundle {

Status read_stage(const std::wstring& folder, const std::wstring& exe_name, bool* only_a_stage) {
  *only_a_stage = false;
  DWORD attributes = 0;
  if (Status read = entry_attributes(folder, &attributes); !read.ok()) {
    const bool absent = read.code() == ERROR_FILE_NOT_FOUND || read.code() == ERROR_PATH_NOT_FOUND;
    return absent ? Status{} : read;
  }
  // A plain file or a link of that name is no stage.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return {};
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !is_directory(folder)) return {};
  std::vector<std::wstring> names;
  if (Status listed = list_names(folder, &names); !listed.ok()) return listed;
  const std::wstring staged[] = {exe_name, kProgramFolder, kShippedUninstaller, kPackageManifest};
  *only_a_stage = std::all_of(names.begin(), names.end(), [&](const std::wstring& name) {
    return std::any_of(std::begin(staged), std::end(staged),
                       [&](const std::wstring& entry) { return same_name(name, entry); });
  });
  return {};
}

bool holds_only_a_stage(const std::wstring& folder, const std::wstring& exe_name) {
  bool only_a_stage = false;
  return read_stage(folder, exe_name, &only_a_stage).ok() && only_a_stage;
}

}  // namespace tavrio::bundle
