// Single-file operations with fixed Win32 behaviour (tree removal has a module of its own). None of
// them logs: each returns success or the Win32 error that stopped it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

#include <windows.h>

#include "common/os_error.h"

namespace tavrio {

// True when the attributes of the file or folder (links followed) can be read; a locked or
// access-denied entry counts when its directory entry can be listed.
bool exists(const std::wstring& path);

// True for a real directory (not a symbolic link or junction to one).
bool is_directory(const std::wstring& path);

enum class RenameFlush {
  kNone,
  kWriteThrough,  // returns once the rename is on disk (MOVEFILE_WRITE_THROUGH)
};

// MoveFileExW with replace-existing, never copying across volumes (error 17 there).
Status rename_path(const std::wstring& from, const std::wstring& to,
                   RenameFlush flush = RenameFlush::kNone);

// CopyFileExW, overwriting an existing (writable) target.
Status copy_file(const std::wstring& from, const std::wstring& to);

// The size of a file, from its directory entry's attributes.
Status file_size(const std::wstring& path, std::uint64_t* size);

// The attributes of the entry itself (a link's own, never its target's), as its directory entry
// gives them; ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when there is none.
Status entry_attributes(const std::wstring& path, DWORD* attributes);

// When the file or folder itself last changed: written, renamed or its attributes set (the
// change time of its basic information).
Status change_time(const std::wstring& path, FILETIME* changed);

// Writes what the system still holds of a file to the disk (FlushFileBuffers).
Status flush_file(const std::wstring& path);

// DeleteFileW; a read-only file is removed too.
Status remove_file(const std::wstring& path);

// Writes all bytes to an open file, continuing after partial writes; false when the rest had to
// be dropped.
bool write_all(void* file, std::string_view bytes);

}  // namespace tavrio
