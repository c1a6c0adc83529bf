// The updater's trash, in one place: the names it gives the folders it moves out of the way, the
// move itself, and the sweeps of what such moves left, the updater's after its restart and the
// uninstaller's over the whole install folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/os_error.h"

namespace tavrio::trash {

// The trash name of a folder, "<folder>.<process id>.<tick>.trash", and whether a name is the
// trash name of `original_name`: the exact pattern, so that nothing else that happens to lie
// beside the folder is ever taken for trash.
std::wstring trash_name(const std::wstring& folder, unsigned long process_id,
                        unsigned long long tick);
bool is_trash_of(std::wstring_view name, std::wstring_view original_name);
// Whether a name is the trash name of some folder: "<name>.<digits>.<digits>.trash".
bool is_trash_name(std::wstring_view name);

// Renames a tree out of the way, to be deleted later; removes it in place when the rename fails.
// Whether it now lies under its trash name.
bool move_aside(const std::wstring& folder, const std::wstring& trash);

// Deletes the trash of `original` that lies beside it: real folders only, a link of that name
// stays as it is.
void remove_trash_of(const std::wstring& original);

// One trash name found in a folder: a trash folder (a real one, or a link to a folder) when
// `kind_read` is ok, or one whose kind could not be read.
struct Found {
  std::wstring name;
  Status kind_read;
};

// Every trash name in `folder` that is a folder or whose kind cannot be read, in listing order.
Status find_trash_folders(const std::wstring& folder, std::vector<Found>* found);

}  // namespace tavrio::trash
