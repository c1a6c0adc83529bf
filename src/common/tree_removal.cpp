// Tree removal walks the directory with handles opened relative to their folder (NtOpenFile),
// so that it is free of path-length limits and never follows a link that someone swaps in.
#include "common/tree_removal.h"

#include <windows.h>
#include <winternl.h>

#include <string_view>
#include <vector>

#include "common/directory_listing.h"
#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/handles.h"

namespace tavrio {
namespace {

constexpr int kInUseTries = 50;
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
  NTSTATUS status = calls::nt_open_file(&handle, access, &attributes, &io, kShareAll,
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

bool in_use_or_denied(DWORD code) {
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED;
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

// A real directory, not a link: the walk goes into it.
bool descends_into(const ListedEntry& entry) {
  return (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         !is_name_surrogate(entry.attributes, entry.reparse_tag);
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
Status remove_directory(UniqueFile root, bool delete_root) {
  std::vector<char> buffer(64 * 1024);
  std::vector<Level> stack;
  stack.push_back({std::move(root), {}});
  bool fresh = true;
  while (!stack.empty()) {
    Level& level = stack.back();
    if (fresh) {
      std::vector<ListedEntry> entries;
      if (Status s = list_directory(level.directory.get(), buffer, &entries); !s.ok()) return s;
      for (ListedEntry& entry : entries) {
        if (descends_into(entry)) {
          level.subdirectories.push_back(std::move(entry.name));
        } else if (Status s = open_and_delete(level.directory.get(), entry.name, kEntryAccess);
                   !s.ok()) {
          return s;
        }
      }
      fresh = false;
    }
    if (level.subdirectories.empty()) {
      if (stack.size() == 1 && !delete_root) return {};
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

Status remove_tree(const std::wstring& path) {
  UniqueFile root = open_path(path, FILE_LIST_DIRECTORY,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!root) return last_error();
  FILE_BASIC_INFO basic;
  if (!calls::get_file_information(root.get(), FileBasicInfo, &basic, sizeof basic)) {
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
  if (outcome == OpenOutcome::kFailed && !link && in_use_or_denied(error.code)) {
    // The folder itself cannot be deleted now (someone holds it without delete sharing, or it
    // is a process's current folder); what it holds still goes, and the error says why the
    // folder stayed.
    OsError listing_error{0};
    if (open_relative(root.get(), L"", kDirectoryAccess & ~DELETE, &reopened, &listing_error) !=
        OpenOutcome::kOpened) {
      return error;
    }
    Status emptied = remove_directory(std::move(reopened), false);
    return emptied.ok() ? Status(error) : emptied;
  }
  if (outcome == OpenOutcome::kFailed) return error;
  // A link at the root is removed as a link; its target is never entered.
  if (link) return delete_with_retries(reopened.get());
  return remove_directory(std::move(reopened), true);
}

Status remove_empty_folder(const std::wstring& path) {
  UniqueFile folder = open_path(path, kDirectoryAccess, FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder) return last_error();
  FILE_BASIC_INFO basic;
  if (!calls::get_file_information(folder.get(), FileBasicInfo, &basic, sizeof basic)) {
    return last_error();
  }
  if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return OsError{ERROR_DIRECTORY};
  // Wine accepts the deletion of a folder that is not empty and then quietly keeps it, so the
  // folder is looked into first; Windows refuses it either way.
  std::vector<char> buffer(4096);
  std::vector<ListedEntry> entries;
  if (Status s = list_directory(folder.get(), buffer, &entries); !s.ok()) return s;
  if (!entries.empty()) return OsError{ERROR_DIR_NOT_EMPTY};
  return delete_with_retries(folder.get());
}

Status list_names(const std::wstring& folder, std::vector<std::wstring>* names) {
  UniqueFile directory = open_for_listing(folder);
  if (!directory) return last_error();
  std::vector<char> buffer(64 * 1024);
  std::vector<ListedEntry> entries;
  if (Status s = list_directory(directory.get(), buffer, &entries); !s.ok()) return s;
  names->clear();
  for (ListedEntry& entry : entries) names->push_back(std::move(entry.name));
  return {};
}

}  // namespace tavrio
