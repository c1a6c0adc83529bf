#include "common/file_calls.h"

#include "common/file_call_hooks.h"

namespace tavrio::calls {

HANDLE create_file(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags) {
  if (Fault f = injected_fault(FileCall::kOpen, path, nullptr); f.error != 0) {
    return failed(f, INVALID_HANDLE_VALUE);
  }
  HANDLE file = ::CreateFileW(path, access, share, security, disposition, flags, nullptr);
  notice_open(file, path);
  return file;
}

NTSTATUS nt_open_file(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* io, ULONG share, ULONG options) {
  if (Fault f = injected_fault(FileCall::kOpenRelative, nullptr, nullptr); f.error != 0) {
    return f.status;
  }
  NTSTATUS status = ::NtOpenFile(handle, access, attributes, io, share, options);
  if (status >= 0) notice_open(*handle, nullptr);
  return status;
}

BOOL move_file(const wchar_t* from, const wchar_t* to, DWORD flags) {
  if (Fault f = injected_fault(FileCall::kRename, from, nullptr); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::MoveFileExW(from, to, flags);
}

BOOL copy_file(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* data,
               DWORD flags) {
  if (Fault f = injected_fault(FileCall::kCopy, to, nullptr); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::CopyFileExW(from, to, progress, data, nullptr, flags);
}

BOOL flush_file_buffers(HANDLE file) {
  if (Fault f = injected_fault(FileCall::kFlush, nullptr, file); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::FlushFileBuffers(file);
}

BOOL delete_file(const wchar_t* path) {
  if (Fault f = injected_fault(FileCall::kDelete, path, nullptr); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::DeleteFileW(path);
}

BOOL set_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, void* info,
                          DWORD size) {
  if (Fault f = injected_fault(FileCall::kSetInfo, nullptr, file); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::SetFileInformationByHandle(file, info_class, info, size);
}

NTSTATUS nt_set_information_file(HANDLE file, IO_STATUS_BLOCK* io, void* info, ULONG size,
                                 FILE_INFORMATION_CLASS info_class) {
  if (Fault f = injected_fault(FileCall::kSetInfo, nullptr, file); f.error != 0) {
    return f.status;
  }
  return ::NtSetInformationFile(file, io, info, size, info_class);
}

BOOL get_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, void* info,
                          DWORD size) {
  if (Fault f = injected_fault(FileCall::kQueryInfo, nullptr, file); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::GetFileInformationByHandleEx(file, info_class, info, size);
}

BOOL get_file_information(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (Fault f = injected_fault(FileCall::kQueryInfo, nullptr, file); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::GetFileInformationByHandle(file, info);
}

DWORD get_final_path_name(HANDLE file, wchar_t* buffer, DWORD size, DWORD flags) {
  if (Fault f = injected_fault(FileCall::kQueryInfo, nullptr, file); f.error != 0) {
    return failed(f, DWORD{0});
  }
  return ::GetFinalPathNameByHandleW(file, buffer, size, flags);
}

BOOL get_file_attributes(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  if (Fault f = injected_fault(FileCall::kAttributes, path, nullptr); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::GetFileAttributesExW(path, GetFileExInfoStandard, data);
}

HANDLE find_first_file(const wchar_t* pattern, WIN32_FIND_DATAW* data, DWORD flags) {
  if (Fault f = injected_fault(FileCall::kFind, pattern, nullptr); f.error != 0) {
    return failed(f, INVALID_HANDLE_VALUE);
  }
  return ::FindFirstFileExW(pattern, FindExInfoBasic, data, FindExSearchNameMatch, nullptr, flags);
}

BOOL write_file(HANDLE file, const void* bytes, DWORD size, DWORD* written) {
  if (Fault f = injected_fault(FileCall::kWrite, nullptr, file); f.error != 0) {
    *written = 0;
    return failed(f, FALSE);
  }
  return ::WriteFile(file, bytes, size, written, nullptr);
}

BOOL read_file(HANDLE file, void* bytes, DWORD size, DWORD* read) {
  if (Fault f = injected_fault(FileCall::kRead, nullptr, file); f.error != 0) {
    *read = 0;
    return failed(f, FALSE);
  }
  return ::ReadFile(file, bytes, size, read, nullptr);
}

BOOL create_process(const wchar_t* program, wchar_t* command_line, BOOL inherit_handles,
                    DWORD flags, const wchar_t* current_directory, STARTUPINFOW* startup,
                    PROCESS_INFORMATION* started) {
  if (Fault f = injected_fault(FileCall::kStartProcess, program, nullptr); f.error != 0) {
    return failed(f, FALSE);
  }
  if (!::CreateProcessW(program, command_line, nullptr, nullptr, inherit_handles, flags, nullptr,
                        current_directory, startup, started)) {
    return FALSE;
  }
  notice_start(program, *started);
  return TRUE;
}

}  // namespace tavrio::calls
