// Opening a file-system entry without following links, and deleting an entry through its
// handle: what the single-file operations and tree removal share.
#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"
#include "common/os_error.h"

namespace tavrio {

// The share modes files are opened with: every one the programs use, defined once.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
inline constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
inline constexpr DWORD kShareNone = 0;

// How open_path opens: the sharing, what to do when the file does or does not exist, and
// whether a started process may inherit the handle.
struct OpenMode {
  DWORD share = kShareAll;
  DWORD disposition = OPEN_EXISTING;
  bool inheritable = false;
};

struct EntryAttributes {
  DWORD attributes = 0;
  DWORD reparse_tag = 0;
};

// A symbolic link or a junction: an entry that names another one.
bool is_name_surrogate(DWORD attributes, DWORD reparse_tag);

// CreateFileW on the Win32 form of the path: the one way both programs open a file.
UniqueFile open_path(const std::wstring& path, DWORD access, DWORD flags, OpenMode mode = {});

bool read_tag_info(HANDLE file, EntryAttributes* out);

// Whether SetFileInformationByHandle refused the information class itself, as systems without
// FileDispositionInfoEx do.
bool class_rejected(DWORD error);

// The plain deletion of an entry held open with DELETE, FILE_READ_ATTRIBUTES and
// FILE_WRITE_ATTRIBUTES: a read-only entry has its attribute cleared first (and put back when
// the deletion still fails).
Status delete_clearing_read_only(HANDLE file);

// Deletes the entry behind an open handle: POSIX semantics and read-only entries where the
// system offers FileDispositionInfoEx, the plain disposition elsewhere.
Status delete_by_handle(HANDLE file);

// FileDispositionInfoEx with delete, POSIX semantics and ignore read-only.
bool delete_by_handle_ex(HANDLE file);

}  // namespace tavrio
