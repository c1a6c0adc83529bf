#include "common/trash.h"

#include <windows.h>

#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/text.h"
#include "common/tree_removal.h"

namespace tavrio::trash {

using bundle::kTrashSuffix;

namespace {

bool all_digits(std::wstring_view text) {
  if (text.empty()) return false;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
  }
  return true;
}

// The length of the ".<digits>.<digits>.trash" that ends a trash name, 0 when it ends otherwise.
size_t trash_tail(std::wstring_view name) {
  if (!name.ends_with(kTrashSuffix)) return 0;
  std::wstring_view rest = name.substr(0, name.size() - kTrashSuffix.size());
  const size_t tick_dot = rest.rfind(L'.');
  if (tick_dot == std::wstring_view::npos || !all_digits(rest.substr(tick_dot + 1))) return 0;
  const size_t pid_dot = rest.rfind(L'.', tick_dot == 0 ? 0 : tick_dot - 1);
  if (pid_dot == std::wstring_view::npos || pid_dot == tick_dot ||
      !all_digits(rest.substr(pid_dot + 1, tick_dot - pid_dot - 1))) {
    return 0;
  }
  return name.size() - pid_dot;
}

}  // namespace

std::wstring trash_name(const std::wstring& folder, unsigned long process_id,
                        unsigned long long tick) {
  return folder + L"." + widen(decimal(process_id)) + L"." + widen(decimal(tick)) +
         std::wstring(kTrashSuffix);
}

bool is_trash_of(std::wstring_view name, std::wstring_view original_name) {
  const size_t tail = trash_tail(name);
  return tail != 0 && name.size() - tail == original_name.size() && name.starts_with(original_name);
}

bool is_trash_name(std::wstring_view name) {
  const size_t tail = trash_tail(name);
  return tail != 0 && tail < name.size();
}

bool move_aside(const std::wstring& folder, const std::wstring& trash) {
  if (!exists(folder)) return false;
  // Anything but a real folder (a plain file, a link) is left to the tree removal as it is.
  if (!is_directory(folder)) {
    (void)remove_tree(folder);
    return false;
  }
  if (rename_path(folder, trash).ok()) return true;
  (void)remove_tree(folder);
  return false;
}

void remove_trash_of(const std::wstring& original) {
  const std::wstring folder = text_before_last_separator(original);
  const std::wstring name = last_component(original);
  std::vector<std::wstring> names;
  if (folder.empty() || !list_names(folder, &names).ok()) return;
  for (const std::wstring& candidate : names) {
    if (!is_trash_of(candidate, name)) continue;
    const std::wstring path = join(folder, candidate);
    if (is_directory(path)) (void)remove_tree(path);
  }
}

Status find_trash_folders(const std::wstring& folder, std::vector<Found>* found) {
  std::vector<std::wstring> names;
  if (Status listed = list_names(folder, &names); !listed.ok()) return listed;
  for (const std::wstring& name : names) {
    if (!is_trash_name(name)) continue;
    const std::wstring path = join(folder, name);
    DWORD attributes = 0;
    if (Status read = entry_attributes(path, &attributes); !read.ok()) {
      found->push_back({name, read});
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
               ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || is_directory(path))) {
      found->push_back({name, {}});
    }
  }
  return {};
}

}  // namespace tavrio::trash
