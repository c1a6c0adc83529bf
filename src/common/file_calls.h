// The Win32 and NT calls through which both programs touch files and start processes: one thin
// wrapper per call, with the call's own parameters, results and failure values. Every module goes
// through these instead of calling the system itself, so that there is one place where a call
// happens.
//
// The programs link file_calls.cpp, where each wrapper is the system call and nothing else. A
// test build can link a variant of the same source (compiled with TAVRIO_FILE_CALL_FAULTS and a
// hook of its own) that fails a chosen call of a run the way the system fails it, to prove that
// every failure leaves the installation whole and the report true.
#pragma once

#include <windows.h>
#include <winternl.h>

namespace tavrio::calls {

// What a call does, for the hook of a test build.
enum class FileCall {
  kOpen,          // CreateFileW
  kOpenRelative,  // NtOpenFile
  kRename,        // MoveFileExW
  kCopy,          // CopyFileExW
  kFlush,         // FlushFileBuffers
  kDelete,        // DeleteFileW
  kSetInfo,       // SetFileInformationByHandle, NtSetInformationFile: rename, disposition, ...
  kQueryInfo,     // GetFileInformationByHandle(Ex) (directory listings too), GetFinalPathName...
  kAttributes,    // GetFileAttributesExW, GetFileSizeEx
  kFind,          // FindFirstFileExW
  kWrite,         // WriteFile
  kRead,          // ReadFile
  kStartProcess,  // CreateProcessW
};

HANDLE create_file(const wchar_t* path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flags);
NTSTATUS nt_open_file(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                      IO_STATUS_BLOCK* io, ULONG share, ULONG options);
BOOL move_file(const wchar_t* from, const wchar_t* to, DWORD flags);
BOOL copy_file(const wchar_t* from, const wchar_t* to, LPPROGRESS_ROUTINE progress, void* data,
               DWORD flags);
BOOL flush_file_buffers(HANDLE file);
BOOL delete_file(const wchar_t* path);
BOOL set_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, void* info,
                          DWORD size);
NTSTATUS nt_set_information_file(HANDLE file, IO_STATUS_BLOCK* io, void* info, ULONG size,
                                 FILE_INFORMATION_CLASS info_class);
BOOL get_file_information(HANDLE file, FILE_INFO_BY_HANDLE_CLASS info_class, void* info,
                          DWORD size);
BOOL get_file_information(HANDLE file, BY_HANDLE_FILE_INFORMATION* info);
DWORD get_final_path_name(HANDLE file, wchar_t* buffer, DWORD size, DWORD flags);
BOOL get_file_attributes(const wchar_t* path, WIN32_FILE_ATTRIBUTE_DATA* data);
HANDLE find_first_file(const wchar_t* pattern, WIN32_FIND_DATAW* data, DWORD flags);
BOOL write_file(HANDLE file, const void* bytes, DWORD size, DWORD* written);
BOOL read_file(HANDLE file, void* bytes, DWORD size, DWORD* read);
BOOL create_process(const wchar_t* program, wchar_t* command_line, BOOL inherit_handles,
                    DWORD flags, const wchar_t* current_directory, STARTUPINFOW* startup,
                    PROCESS_INFORMATION* started);

// Only the updater's package manifest check makes this (file_calls_stage.cpp).
BOOL get_file_size(HANDLE file, LARGE_INTEGER* size);

}  // namespace tavrio::calls
