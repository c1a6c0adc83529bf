#include "common/file_ops.h"

#include <windows.h>
#include <winternl.h>

#include <vector>

#include "common/handles.h"
#include "common/path.h"

namespace tavrio {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kNameSurrogateBit = 0x20000000;  // symbolic links and junctions
constexpr DWORD kDispositionExFlags = 0x13;      // delete, POSIX semantics, ignore read-only
constexpr DWORD kRenameExFlags = 0x3;            // replace if exists, POSIX semantics
constexpr int kInUseTries = 50;
// Information classes of Windows 10 1809 and later, which older SDK headers lack.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);
struct DispositionInfoEx {
  DWORD flags;
};
constexpr DWORD kHighResolutionTimer = 0x2;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION

bool is_name_surrogate(DWORD attributes, DWORD reparse_tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (reparse_tag & kNameSurrogateBit) != 0;
}

UniqueFile open_path(const std::wstring& path, DWORD access, DWORD flags) {
  return UniqueFile(::CreateFileW(win32_path(path).c_str(), access, kShareAll, nullptr,
                                  OPEN_EXISTING, flags, nullptr));
}

struct EntryAttributes {
  DWORD attributes = 0;
  DWORD reparse_tag = 0;
};

// The directory entry itself, for a path that may not be opened (access denied, in use).
bool read_directory_entry(const std::wstring& path, EntryAttributes* out) {
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileExW(win32_path(path).c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, 0));
  if (!find) return false;
  out->attributes = data.dwFileAttributes;
  out->reparse_tag = data.dwReserved0;
  return true;
}

bool read_tag_info(HANDLE file, EntryAttributes* out) {
  FILE_ATTRIBUTE_TAG_INFO info;
  if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info)) {
    return false;
  }
  out->attributes = info.FileAttributes;
  out->reparse_tag = info.ReparseTag;
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

// ---- deletion through a handle ----

bool class_rejected(DWORD error) {
  return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

Status set_delete_disposition(HANDLE file) {
  FILE_DISPOSITION_INFO info{TRUE};
  if (::SetFileInformationByHandle(file, FileDispositionInfo, &info, sizeof info)) return {};
  return last_error();
}

// Where FileDispositionInfoEx is missing, FileDispositionInfo refuses a read-only entry: clear
// the attribute through the same handle first, and put it back if the deletion still fails.
Status delete_clearing_read_only(HANDLE file) {
  Status first = set_delete_disposition(file);
  if (first.ok() || first.code() != ERROR_ACCESS_DENIED) return first;
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) return first;
  if ((basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) return first;
  const DWORD original = basic.FileAttributes;
  FILE_BASIC_INFO cleared{};
  cleared.FileAttributes = original & ~FILE_ATTRIBUTE_READONLY;
  if (cleared.FileAttributes == 0) cleared.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!::SetFileInformationByHandle(file, FileBasicInfo, &cleared, sizeof cleared)) return first;
  Status second = set_delete_disposition(file);
  if (!second.ok()) {
    FILE_BASIC_INFO restore{};
    restore.FileAttributes = original;
    ::SetFileInformationByHandle(file, FileBasicInfo, &restore, sizeof restore);
  }
  return second;
}

// Deletes the entry behind an open handle: POSIX semantics and read-only entries where the
// system offers FileDispositionInfoEx, the plain disposition elsewhere.
Status delete_by_handle(HANDLE file) {
  DispositionInfoEx ex{kDispositionExFlags};
  if (::SetFileInformationByHandle(file, kFileDispositionInfoEx, &ex, sizeof ex)) return {};
  OsError error = last_error();
  if (!class_rejected(error.code)) return error;
  return delete_clearing_read_only(file);
}

// ---- tree removal ----

constexpr ULONG kOpenReparsePoint = 0x00200000;  // FILE_OPEN_REPARSE_POINT
constexpr ULONG kSynchronousIo = 0x00000020;     // FILE_SYNCHRONOUS_IO_NONALERT
constexpr ULONG kOpenForBackup = 0x00004000;     // FILE_OPEN_FOR_BACKUP_INTENT
constexpr NTSTATUS kStatusNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusPathNotFound = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS kStatusDeletePending = static_cast<NTSTATUS>(0xC0000056);

constexpr DWORD kEntryAccess = DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;
constexpr DWORD kDirectoryAccess = kEntryAccess | FILE_LIST_DIRECTORY;

enum class OpenOutcome { kOpened, kGone, kFailed };

// Opens `name` inside the directory `parent` without following a link. Relative opens keep the
// walk free of path-length limits and of anyone swapping a folder for a link under us.
OpenOutcome open_relative(HANDLE parent, std::wstring_view name, DWORD access, UniqueFile* out,
                          OsError* error) {
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = const_cast<wchar_t*>(name.data());
  unicode_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  unicode_name.MaximumLength = unicode_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicode_name, 0, parent, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE handle = nullptr;
  NTSTATUS status = ::NtOpenFile(&handle, access, &attributes, &io, kShareAll,
                                 kOpenReparsePoint | kSynchronousIo | kOpenForBackup);
  if (status >= 0) {
    out->reset(handle);
    return OpenOutcome::kOpened;
  }
  if (status == kStatusNotFound || status == kStatusPathNotFound ||
      status == kStatusDeletePending) {
    return OpenOutcome::kGone;
  }
  error->code = ::RtlNtStatusToDosError(status);
  if (error->code == 0) error->code = ERROR_GEN_FAILURE;
  return OpenOutcome::kFailed;
}

bool in_use(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_DIR_NOT_EMPTY;
}

// Opens and deletes one entry (a file, a link, or an emptied folder), trying up to 50 times in
// all while it is momentarily in use.
Status open_and_delete(HANDLE parent, std::wstring_view name, DWORD access) {
  Status result;
  for (int attempt = 0; attempt < kInUseTries; ++attempt) {
    if (attempt > 0) ::SwitchToThread();
    UniqueFile entry;
    OsError error{0};
    OpenOutcome outcome = open_relative(parent, name, access, &entry, &error);
    if (outcome == OpenOutcome::kGone) return {};
    if (outcome == OpenOutcome::kFailed) {
      result = error;
    } else {
      result = delete_by_handle(entry.get());
    }
    if (result.ok() || !in_use(result.code())) return result;
  }
  return result;
}

struct Listed {
  std::wstring name;
  bool descend;  // a real directory, not a link
};

// Lists a directory in full. The listing is read before anything in it is deleted, so
// deleting never disturbs the enumeration.
Status list_directory(HANDLE directory, std::vector<char>& buffer, std::vector<Listed>* entries) {
  FILE_INFO_BY_HANDLE_CLASS info_class = FileIdBothDirectoryInfo;
  for (;;) {
    if (!::GetFileInformationByHandleEx(directory, info_class, buffer.data(),
                                        static_cast<DWORD>(buffer.size()))) {
      OsError error = last_error();
      if (error.code == ERROR_NO_MORE_FILES) return {};
      return error;
    }
    size_t offset = 0;
    for (;;) {
      auto* info = reinterpret_cast<FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
      std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") {
        // For a reparse point the listing carries its tag in EaSize.
        bool directory = (info->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        bool link = is_name_surrogate(info->FileAttributes, info->EaSize);
        entries->push_back({std::wstring(name), directory && !link});
      }
      if (info->NextEntryOffset == 0) break;
      offset += info->NextEntryOffset;
    }
  }
}

struct Level {
  UniqueFile directory;
  std::vector<std::wstring> subdirectories;  // still to be emptied and deleted
};

// Deletes through a handle already held, retrying while the entry is momentarily in use (a
// folder whose last entries are still being closed by someone else reads as not empty).
Status delete_with_retries(HANDLE entry) {
  Status result;
  for (int attempt = 0; attempt < kInUseTries; ++attempt) {
    if (attempt > 0) ::SwitchToThread();
    result = delete_by_handle(entry);
    if (result.ok() || !in_use(result.code())) return result;
  }
  return result;
}

// Depth-first without recursion: the stack holds one open directory per level and the names of
// its subdirectories not yet visited, so a tree hundreds of levels deep needs no call stack and
// only one listing buffer. Each directory, the root included, is deleted through its own handle
// once it is empty.
Status remove_directory(UniqueFile root) {
  std::vector<char> buffer(64 * 1024);
  std::vector<Level> stack;
  stack.push_back({std::move(root), {}});
  bool fresh = true;
  while (!stack.empty()) {
    Level& level = stack.back();
    if (fresh) {
      std::vector<Listed> entries;
      if (Status s = list_directory(level.directory.get(), buffer, &entries); !s.ok()) return s;
      for (Listed& entry : entries) {
        if (entry.descend) {
          level.subdirectories.push_back(std::move(entry.name));
        } else if (Status s = open_and_delete(level.directory.get(), entry.name, kEntryAccess);
                   !s.ok()) {
          return s;
        }
      }
      fresh = false;
    }
    if (level.subdirectories.empty()) {
      if (Status s = delete_with_retries(level.directory.get()); !s.ok()) return s;
      stack.pop_back();  // closing the handle lets the parent become empty
      continue;
    }
    UniqueFile child;
    OsError error{0};
    OpenOutcome outcome = open_relative(level.directory.get(), level.subdirectories.back(),
                                        kDirectoryAccess, &child, &error);
    level.subdirectories.pop_back();
    if (outcome == OpenOutcome::kGone) continue;
    if (outcome == OpenOutcome::kFailed) return error;
    stack.push_back({std::move(child), {}});
    fresh = true;
  }
  return {};
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

Status rename_path(const std::wstring& from, const std::wstring& to) {
  const std::wstring source = win32_path(from);
  const std::wstring target = win32_path(to);
  if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return {};
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
  if (::SetFileInformationByHandle(file.get(), kFileRenameInfoEx, info,
                                   static_cast<DWORD>(buffer.size()))) {
    return {};
  }
  if (::GetLastError() == ERROR_DIR_NOT_EMPTY) return OsError{ERROR_DIR_NOT_EMPTY};
  return first;
}

namespace {
DWORD CALLBACK record_progress(LARGE_INTEGER, LARGE_INTEGER transferred, LARGE_INTEGER,
                               LARGE_INTEGER, DWORD stream, DWORD, HANDLE, HANDLE, LPVOID data) {
  if (stream == 1) *static_cast<long long*>(data) = transferred.QuadPart;
  return PROGRESS_CONTINUE;
}
}  // namespace

Status copy_file(const std::wstring& from, const std::wstring& to) {
  long long copied = 0;
  if (::CopyFileExW(win32_path(from).c_str(), win32_path(to).c_str(), record_progress, &copied,
                    nullptr, 0)) {
    return {};
  }
  return last_error();
}

Status remove_file(const std::wstring& path) {
  if (::DeleteFileW(win32_path(path).c_str())) return {};
  OsError first = last_error();
  if (first.code != ERROR_ACCESS_DENIED) return first;
  UniqueFile file = open_path(path, DELETE, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!file) return first;
  DispositionInfoEx ex{kDispositionExFlags};
  if (::SetFileInformationByHandle(file.get(), kFileDispositionInfoEx, &ex, sizeof ex)) return {};
  if (!class_rejected(::GetLastError())) return first;
  // No FileDispositionInfoEx here: clear the read-only attribute and delete the plain way.
  UniqueFile writable = open_path(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                  FILE_FLAG_OPEN_REPARSE_POINT);
  file.reset();
  if (!writable) return first;
  if (!delete_clearing_read_only(writable.get()).ok()) return first;
  return {};
}

Status remove_tree(const std::wstring& path) {
  UniqueFile root = open_path(path, FILE_LIST_DIRECTORY,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!root) return last_error();
  FILE_BASIC_INFO basic;
  if (!::GetFileInformationByHandleEx(root.get(), FileBasicInfo, &basic, sizeof basic)) {
    return last_error();
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return OsError{ERROR_DIRECTORY};

  // Reopen the checked root, through its handle rather than its path, with the rights the
  // removal needs.
  EntryAttributes tag;
  bool link = read_tag_info(root.get(), &tag) && is_name_surrogate(tag.attributes, tag.reparse_tag);
  UniqueFile reopened;
  OsError error{0};
  OpenOutcome outcome =
      open_relative(root.get(), L"", link ? kEntryAccess : kDirectoryAccess, &reopened, &error);
  if (outcome == OpenOutcome::kGone) return {};
  if (outcome == OpenOutcome::kFailed) return error;
  // A link at the root is removed as a link; its target is never entered.
  if (link) return delete_with_retries(reopened.get());
  return remove_directory(std::move(reopened));
}

Status list_names(const std::wstring& folder, std::vector<std::wstring>* names) {
  UniqueFile directory = open_path(folder, FILE_LIST_DIRECTORY,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!directory) return last_error();
  std::vector<char> buffer(64 * 1024);
  std::vector<Listed> entries;
  if (Status s = list_directory(directory.get(), buffer, &entries); !s.ok()) return s;
  names->clear();
  for (Listed& entry : entries) names->push_back(std::move(entry.name));
  return {};
}

void pause_ms(unsigned milliseconds) {
  UniqueHandleOrNull timer(
      ::CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS));
  if (timer) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    if (::SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
      ::WaitForSingleObject(timer.get(), INFINITE);
      return;
    }
  }
  ::Sleep(milliseconds);
}

}  // namespace tavrio
