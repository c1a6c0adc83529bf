// Listing a directory and removing it with everything below it.
#pragma once

#include <string>
#include <vector>

#include "common/os_error.h"

namespace tavrio {

// Removes a directory and everything below it, deleting links as links and never following
// them; read-only entries are removed; entries momentarily in use are retried. A link given as
// the directory itself is removed as a link.
Status remove_tree(const std::wstring& path);

// Removes a folder only while it is empty (ERROR_DIR_NOT_EMPTY otherwise), also a read-only one;
// retried while it is momentarily in use. A link on the way to it is followed.
Status remove_empty_folder(const std::wstring& path);

// The names of the entries directly inside a folder, as the file system lists them ("." and
// ".." left out). A link is not followed: a junction lists nothing.
Status list_names(const std::wstring& folder, std::vector<std::wstring>* names);

}  // namespace tavrio
