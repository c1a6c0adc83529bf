#include "common/file_ops.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/handles.h"
#include "common/path.h"

namespace tavrio {
namespace {

// FileRenameInformationEx (Windows 10 1607 and later) and its flags, which older headers lack.
// Without FILE_RENAME_IGNORE_READONLY_ATTRIBUTE (0x40) a read-only target is still refused.
constexpr auto kFileRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
constexpr ULONG kRenameReplaceIfExists = 0x1;  // FILE_RENAME_REPLACE_IF_EXISTS
constexpr ULONG kRenamePosixSemantics = 0x2;   // FILE_RENAME_POSIX_SEMANTICS

// The directory entry itself, for a path that may not be opened (access denied, in use).
bool read_directory_entry(const std::wstring& path, EntryAttributes* out) {
  WIN32_FIND_DATAW data;
  UniqueFind find(calls::find_first_file(win32_path(path).c_str(), &data, 0));
  if (!find) return false;
  out->attributes = data.dwFileAttributes;
  out->reparse_tag = data.dwReserved0;
  return true;
}

// Reads the attributes the way "exists" defines it. `follow` opens a link's target.
bool read_attributes(const std::wstring& path, bool follow, EntryAttributes* out) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  UniqueFile file = open_path(path, 0, flags);
  if (file) return read_tag_info(file.get(), out);
  DWORD error = ::GetLastError();
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    return read_directory_entry(path, out) && !is_name_surrogate(out->attributes, out->reparse_tag);
  }
  if (error == ERROR_CANT_ACCESS_FILE && follow) {
    return read_attributes(path, false, out) &&
           !is_name_surrogate(out->attributes, out->reparse_tag);
  }
  return false;
}

// Renames the entry held open with DELETE access to `target`, replacing a file of that name with
// POSIX semantics: the name passes to the renamed file at once, and handles that others hold on
// the replaced file stay valid. Asked of the system directly, as SetFileInformationByHandle
// (FileRenameInfoEx) asks it on Windows: Wine 10's kernelbase lacks that class while its ntdll
// has it (it renames and honours the read-only attribute, but refuses to replace a file open
// elsewhere). Error 87 where the class itself is missing.
Status rename_replacing_open_target(HANDLE file, const std::wstring& target) {
  UNICODE_STRING nt_target;
  if (!::RtlDosPathNameToNtPathName_U(target.c_str(), &nt_target, nullptr, nullptr)) {
    return OsError{ERROR_INVALID_NAME};
  }
  std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) + nt_target.Length);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = kRenameReplaceIfExists | kRenamePosixSemantics;
  info->RootDirectory = nullptr;
  info->FileNameLength = nt_target.Length;
  std::copy_n(nt_target.Buffer, nt_target.Length / sizeof(wchar_t), info->FileName);
  ::RtlFreeUnicodeString(&nt_target);
  IO_STATUS_BLOCK io;
  const NTSTATUS status = calls::nt_set_information_file(
      file, &io, info, static_cast<ULONG>(buffer.size()), kFileRenameInformationEx);
  if (status >= 0) return {};
  const DWORD code = ::RtlNtStatusToDosError(status);
  return OsError{code != 0 ? code : ERROR_GEN_FAILURE};
}

}  // namespace

bool exists(const std::wstring& path) {
  EntryAttributes attributes;
  return read_attributes(path, true, &attributes);
}

bool is_directory(const std::wstring& path) {
  EntryAttributes attributes;
  if (!read_attributes(path, false, &attributes)) return false;
  return (attributes.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         !is_name_surrogate(attributes.attributes, attributes.reparse_tag);
}

Status rename_path(const std::wstring& from, const std::wstring& to, RenameFlush flush) {
  const std::wstring source = win32_path(from);
  const std::wstring target = win32_path(to);
  const DWORD flags = MOVEFILE_REPLACE_EXISTING |
                      (flush == RenameFlush::kWriteThrough ? MOVEFILE_WRITE_THROUGH : 0);
  if (calls::move_file(source.c_str(), target.c_str(), flags)) return {};
  OsError first = last_error();
  if (first.code != ERROR_ACCESS_DENIED) return first;

  // Access denied is also what a target still open elsewhere (with delete sharing) gives: with
  // POSIX semantics that target is replaced and its open handles stay valid. A read-only target
  // stays refused, as MoveFileExW refused it, and so does one held open without delete sharing;
  // both, and a system without POSIX renames (before Windows 10 1607, Wine 8), report the first
  // error.
  UniqueFile file =
      open_path(from, DELETE, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!file) return first;
  const Status replaced = rename_replacing_open_target(file.get(), target);
  if (replaced.ok()) return {};
  if (replaced.code() == ERROR_DIR_NOT_EMPTY) return replaced;
  return first;
}

namespace {
// The copy reports its progress to a routine that records how many bytes of the file's data have
// been copied and always lets the copy go on. Nothing reads the count in the programs; it is
// there to be looked at in a debugger when a copy fails part-way (a full disk, a lost share).
DWORD CALLBACK record_progress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER,
                               LARGE_INTEGER, DWORD stream, DWORD, HANDLE, HANDLE, LPVOID data) {
  if (stream == 1) *static_cast<long long*>(data) = transferred.QuadPart;
  return PROGRESS_CONTINUE;
}
}  // namespace

Status copy_file(const std::wstring& from, const std::wstring& to) {
  long long copied = 0;
  if (calls::copy_file(win32_path(from).c_str(), win32_path(to).c_str(), record_progress, &copied,
                       0)) {
    return {};
  }
  return last_error();
}

Status file_size(const std::wstring& path, std::uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!calls::get_file_attributes(win32_path(path).c_str(), &data)) {
    return last_error();
  }
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return {};
}

Status entry_attributes(const std::wstring& path, DWORD* attributes) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!calls::get_file_attributes(win32_path(path).c_str(), &data)) return last_error();
  *attributes = data.dwFileAttributes;
  return {};
}

Status change_time(const std::wstring& path, FILETIME* changed) {
  UniqueFile entry = open_path(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  if (!entry) return last_error();
  FILE_BASIC_INFO basic;
  if (!calls::get_file_information(entry.get(), FileBasicInfo, &basic, sizeof basic)) {
    return last_error();
  }
  changed->dwLowDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart);
  changed->dwHighDateTime = static_cast<DWORD>(basic.ChangeTime.QuadPart >> 32);
  return {};
}

Status flush_file(const std::wstring& path) {
  UniqueFile file = open_path(path, GENERIC_WRITE, 0);
  if (!file) return last_error();
  if (!calls::flush_file_buffers(file.get())) return last_error();
  return {};
}

Status remove_file(const std::wstring& path) {
  if (calls::delete_file(win32_path(path).c_str())) return {};
  OsError first = last_error();
  if (first.code != ERROR_ACCESS_DENIED) return first;
  UniqueFile file = open_path(path, DELETE, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!file) return first;
  if (delete_by_handle_ex(file.get())) return {};
  if (!class_rejected(::GetLastError())) return first;
  // No FileDispositionInfoEx here: clear the read-only attribute and delete the plain way.
  UniqueFile writable = open_path(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_FLAG_OPEN_REPARSE_POINT);
  file.reset();
  if (!writable) return first;
  if (!delete_clearing_read_only(writable.get()).ok()) return first;
  return {};
}

bool write_all(void* file, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!calls::write_file(file, bytes.data(), chunk, &written) || written == 0) return false;
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace tavrio
