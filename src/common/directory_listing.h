// Listing a folder through its handle: the one walk that tree removal and the package manifest's
// check share.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/os_error.h"

namespace tavrio {

struct ListedEntry {
  std::wstring name;
  DWORD attributes = 0;
  DWORD reparse_tag = 0;  // for a reparse point, its tag
};

// Opens a folder for listing without following a link at its end.
UniqueFile open_for_listing(const std::wstring& path);

// Lists the folder behind a handle opened with FILE_LIST_DIRECTORY in full ("." and ".." left
// out), in the order the file system gives. The listing is read before the caller changes
// anything in it, so deleting never disturbs the enumeration. `buffer` is the caller's, reused
// from one folder to the next.
Status list_directory(HANDLE directory, std::vector<char>& buffer,
                      std::vector<ListedEntry>* entries);

}  // namespace tavrio
