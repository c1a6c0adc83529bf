// Removing a directory and everything below it.
#pragma once

#include <string>

#include "common/os_error.h"

namespace tavrio {

// Removes a directory and everything below it, deleting links as links and never following
// them; read-only entries are removed; entries momentarily in use are retried. A link given as
// the directory itself is removed as a link.
Status remove_tree(const std::wstring& path);

}  // namespace tavrio
