// File-system operations with fixed Win32 behaviour. None of them logs: each returns
// success or the Win32 error that stopped it.
#pragma once

#include <string>
#include <vector>

#include "common/os_error.h"

namespace tavrio {

// True when the attributes of the file or folder (links followed) can be read; a locked or
// access-denied entry counts when its directory entry can be listed.
bool exists(const std::wstring& path);

// True for a real directory (not a symbolic link or junction to one).
bool is_directory(const std::wstring& path);

// MoveFileExW with replace-existing, never copying across volumes (error 17 there).
Status rename_path(const std::wstring& from, const std::wstring& to);

// CopyFileExW, overwriting an existing (writable) target.
Status copy_file(const std::wstring& from, const std::wstring& to);

// DeleteFileW; a read-only file is removed too.
Status remove_file(const std::wstring& path);

// Removes a directory and everything below it, deleting links as links and never following
// them; read-only entries are removed; entries momentarily in use are retried.
Status remove_tree(const std::wstring& path);

// The names of the entries directly inside a folder, as the file system lists them ("." and
// ".." left out). A link is not followed: a junction lists nothing.
Status list_names(const std::wstring& folder, std::vector<std::wstring>* names);

// Sleeps on the calling thread with a high-resolution waitable timer where there is one.
void pause_ms(unsigned milliseconds);

}  // namespace tavrio
