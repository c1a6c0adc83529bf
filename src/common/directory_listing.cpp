#include "common/directory_listing.h"

#include <string_view>

#include "common/entry_handles.h"
#include "common/file_calls.h"

namespace tavrio {

UniqueFile open_for_listing(const std::wstring& path) {
  return open_path(path, FILE_LIST_DIRECTORY,
                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

Status list_directory(HANDLE directory, std::vector<char>& buffer,
                      std::vector<ListedEntry>* entries) {
  FILE_INFO_BY_HANDLE_CLASS info_class = FileIdBothDirectoryInfo;
  for (;;) {
    if (!calls::get_file_information(directory, info_class, buffer.data(),
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
        entries->push_back({std::wstring(name), info->FileAttributes, info->EaSize});
      }
      if (info->NextEntryOffset == 0) break;
      offset += info->NextEntryOffset;
    }
  }
}

}  // namespace tavrio
