#include "common/entry_handles.h"

#include "common/file_calls.h"
#include "common/path.h"

namespace tavrio {
namespace {

constexpr DWORD kNameSurrogateBit = 0x20000000;
constexpr DWORD kDispositionExFlags = 0x13;  // delete, POSIX semantics, ignore read-only
// An information class of Windows 10 1809 and later, which older SDK headers lack.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
struct DispositionInfoEx {
  DWORD flags;
};

Status set_delete_disposition(HANDLE file) {
  FILE_DISPOSITION_INFO info{TRUE};
  if (calls::set_file_information(file, FileDispositionInfo, &info, sizeof info)) return {};
  return last_error();
}

}  // namespace

bool is_name_surrogate(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparse_tag & kNameSurrogateBit) != 0;
}

UniqueFile open_path(const std::wstring& path, DWORD access, DWORD flags, OpenMode mode) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return UniqueFile(calls::create_file(win32_path(path).c_str(), access, mode.share,
                                       mode.inheritable ? &inheritable : nullptr, mode.disposition,
                                       flags));
}

bool read_tag_info(HANDLE file, EntryAttributes* out) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!calls::get_file_information(file, FileAttributeTagInfo, &info, sizeof info)) {
    return false;
  }
  out->attributes = info.FileAttributes;
  out->reparse_tag = info.ReparseTag;
  return true;
}

bool class_rejected(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

Status delete_clearing_read_only(HANDLE file) {
  Status first = set_delete_disposition(file);
  if (first.ok() || first.code() != ERROR_ACCESS_DENIED) return first;
  FILE_BASIC_INFO basic;
  if (!calls::get_file_information(file, FileBasicInfo, &basic, sizeof basic)) return first;
  if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return first;
  const DWORD original = basic.FileAttributes;
  FILE_BASIC_INFO cleared{};
  cleared.FileAttributes = original & ~FILE_ATTRIBUTE_READONLY;
  if (cleared.FileAttributes == 0) cleared.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!calls::set_file_information(file, FileBasicInfo, &cleared, sizeof cleared)) return first;
  Status second = set_delete_disposition(file);
  if (!second.ok()) {
    FILE_BASIC_INFO restore{};
    restore.FileAttributes = original;
    calls::set_file_information(file, FileBasicInfo, &restore, sizeof restore);
  }
  return second;
}

bool delete_by_handle_ex(HANDLE file) {
  DispositionInfoEx ex{kDispositionExFlags};
  return calls::set_file_information(file, kFileDispositionInfoEx, &ex, sizeof ex) != 0;
}

Status delete_by_handle(HANDLE file) {
  if (delete_by_handle_ex(file)) return {};
  OsError error = last_error();
  if (!class_rejected(error.code)) return error;
  return delete_clearing_read_only(file);
}

}  // namespace tavrio
