#include "common/file_ops.h"

#include <windows.h>

#include <vector>

#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/handles.h"
#include "common/path.h"

namespace tavrio {
namespace {

constexpr DWORD kRenameExFlags = 0x3;  // replace if exists, POSIX semantics
// An information class of Windows 10 1809 and later, which older SDK headers lack.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

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

  // A target that is read-only or still open elsewhere can be replaced with POSIX semantics.
  UniqueFile file =
      open_path(from, DELETE, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!file) return first;
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->Flags = kRenameExFlags;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  std::copy(target.begin(), target.end(), info->FileName);
  if (calls::set_file_information(file.get(), kFileRenameInfoEx, info,
                                  static_cast<DWORD>(buffer.size()))) {
    return {};
  }
  if (::GetLastError() == ERROR_DIR_NOT_EMPTY) return OsError{ERROR_DIR_NOT_EMPTY};
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
