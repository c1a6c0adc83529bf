#include "common/stage.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/tree_removal.h"

namespace tavrio::bundle {

bool holds_only_a_stage(const std::wstring& folder, const std::wstring& exe_name) {
  std::vector<std::wstring> names;
  if (!is_directory(folder) || !list_names(folder, &names).ok()) return false;
  const std::wstring staged[] = {exe_name, kProgramFolder, kShippedUninstaller, kPackageManifest};
  return std::all_of(names.begin(), names.end(), [&](const std::wstring& name) {
    return std::any_of(std::begin(staged), std::end(staged),
                       [&](const std::wstring& entry) { return same_name(name, entry); });
  });
}

}  // namespace tavrio::bundle
