#include "common/process_ops.h"

#include "common/command_line.h"
#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/file_ops.h"
#include "common/grow_buffer.h"
#include "common/handles.h"
#include "common/path.h"

namespace tavrio {
namespace {

bool is_bare_name(const std::wstring& name) {
  return name.find_first_of(L"\\/:") == std::wstring::npos;
}

bool ends_with_exe(const std::wstring& name) {
  if (name.size() < 4) return false;
  std::wstring tail = name.substr(name.size() - 4);
  for (wchar_t& c : tail) c = static_cast<wchar_t>(::towlower(c));
  return tail == L".exe";
}

std::wstring folder_of_running_program() {
  std::wstring path;
  if (!own_executable_path(&path).ok()) return {};
  return text_before_last_separator(path);
}

std::wstring system_folder(UINT(WINAPI* query)(LPWSTR, UINT)) {
  wchar_t buffer[MAX_PATH];
  UINT n = query(buffer, MAX_PATH);
  return n == 0 || n >= MAX_PATH ? std::wstring() : std::wstring(buffer, n);
}

std::vector<std::wstring> path_folders() {
  std::vector<std::wstring> folders;
  std::wstring value;
  if (!read_growing(&value, [](wchar_t* buffer, DWORD size) {
         return ::GetEnvironmentVariableW(L"PATH", buffer, size);
       }).ok()) {
    return folders;
  }
  size_t start = 0;
  while (start <= value.size()) {
    size_t end = value.find(L';', start);
    if (end == std::wstring::npos) end = value.size();
    std::wstring folder = value.substr(start, end - start);
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"') {
      folder = folder.substr(1, folder.size() - 2);
    }
    if (!folder.empty()) folders.push_back(folder);
    start = end + 1;
  }
  return folders;
}

STARTUPINFOW startup_with_own_std_handles() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  auto usable = [](HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; };
  if (usable(in) || usable(out) || usable(err)) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
  }
  return startup;
}

// CreateProcessW takes neither a program path nor a current folder of MAX_PATH characters or
// more (and Wine corrupts its own heap trying). Such a path is passed by its short (8.3) form
// where the volume gives one that fits; otherwise the start fails cleanly.
Status fit_for_create_process(std::wstring* path) {
  if (path->size() < MAX_PATH) return {};
  std::wstring shortened(32768, L'\0');
  DWORD n = ::GetShortPathNameW(win32_path(*path).c_str(), shortened.data(),
                                static_cast<DWORD>(shortened.size()));
  if (n == 0 || n >= shortened.size()) return OsError{ERROR_FILENAME_EXCED_RANGE};
  shortened.resize(n);
  if (shortened.starts_with(L"\\\\?\\UNC\\")) {
    shortened = L"\\\\" + shortened.substr(8);
  } else if (shortened.starts_with(L"\\\\?\\")) {
    shortened = shortened.substr(4);
  }
  if (shortened.size() >= MAX_PATH) return OsError{ERROR_FILENAME_EXCED_RANGE};
  *path = std::move(shortened);
  return {};
}

Status create_process(const ProcessStart& start, STARTUPINFOW& startup, ProcessHandles* started) {
  std::wstring program;
  if (Status s = find_program(start.program, &program); !s.ok()) return s;
  if (Status s = fit_for_create_process(&program); !s.ok()) return s;
  std::wstring current_directory = start.current_directory;
  if (!current_directory.empty()) {
    if (Status s = fit_for_create_process(&current_directory); !s.ok()) return s;
  }
  PROCESS_INFORMATION info{};
  std::wstring line = start.command_line_override.empty()
                          ? build_command_line(program, start.arguments)
                          : start.command_line_override;
  if (!calls::create_process(
          program.c_str(), line.data(), TRUE, start.creation_flags | CREATE_UNICODE_ENVIRONMENT,
          current_directory.empty() ? nullptr : current_directory.c_str(), &startup, &info)) {
    return last_error();
  }
  started->process.reset(info.hProcess);
  started->thread.reset(info.hThread);
  return {};
}

struct PipeReader {
  HANDLE pipe;
  std::string* sink;
};

void read_to_end(HANDLE pipe, std::string* sink) {
  char buffer[4096];
  DWORD read = 0;
  while (calls::read_file(pipe, buffer, sizeof buffer, &read) && read > 0) {
    sink->append(buffer, read);
  }
}

DWORD WINAPI read_pipe_thread(void* param) {
  auto* reader = static_cast<PipeReader*>(param);
  read_to_end(reader->pipe, reader->sink);
  return 0;
}

}  // namespace

Status find_program(const std::wstring& name, std::wstring* found) {
  if (!is_bare_name(name)) {
    *found = name;
    return {};
  }
  const std::wstring file = ends_with_exe(name) ? name : name + L".exe";
  std::vector<std::wstring> folders = {folder_of_running_program(),
                                       system_folder(::GetSystemDirectoryW),
                                       system_folder(::GetWindowsDirectoryW)};
  for (std::wstring& folder : path_folders()) folders.push_back(std::move(folder));
  for (const std::wstring& folder : folders) {
    if (folder.empty()) continue;
    std::wstring candidate = join(folder, file);
    if (exists(candidate) && !is_directory(candidate)) {
      *found = candidate;
      return {};
    }
  }
  return OsError{ERROR_FILE_NOT_FOUND};
}

Status start_process(const ProcessStart& start, UniqueProcess* process) {
  STARTUPINFOW startup = startup_with_own_std_handles();
  ProcessHandles started;
  Status s = create_process(start, startup, &started);
  if (s.ok() && process != nullptr) *process = std::move(started.process);
  return s;
}

Status run_to_end(const ProcessStart& start, ProcessResult* result) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  UniqueFile null_input =
      open_path(L"\\\\.\\NUL", GENERIC_READ, 0, {.share = kShareReadWrite, .inheritable = true});
  if (!null_input) return last_error();
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  if (!::CreatePipe(&out_read, &out_write, &inheritable, 0)) return last_error();
  UniquePipe out_r(out_read), out_w(out_write);
  if (!::CreatePipe(&err_read, &err_write, &inheritable, 0)) return last_error();
  UniquePipe err_r(err_read), err_w(err_write);
  // Only the child's ends may be inherited.
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input.get();
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  ProcessHandles child;
  Status started = create_process(start, startup, &child);
  out_w.reset();
  err_w.reset();
  null_input.reset();
  if (!started.ok()) return started;

  // Both pipes are drained at once, so a child that fills one while we wait on the other
  // cannot stall.
  PipeReader err_reader{err_read, &result->error_output};
  UniqueThread err_thread(::CreateThread(nullptr, 0, read_pipe_thread, &err_reader, 0, nullptr));
  read_to_end(out_read, &result->output);
  if (err_thread) {
    ::WaitForSingleObject(err_thread.get(), INFINITE);
  } else {
    read_to_end(err_read, &result->error_output);
  }
  ::WaitForSingleObject(child.process.get(), INFINITE);
  DWORD code = 0;
  if (!::GetExitCodeProcess(child.process.get(), &code)) return last_error();
  result->exit_code = code;
  return {};
}

Status process_image_path(HANDLE process, std::wstring* path) {
  return read_growing(path, [&](wchar_t* buffer, DWORD capacity) -> DWORD {
    DWORD size = capacity;
    if (::QueryFullProcessImageNameW(process, 0, buffer, &size)) return size;
    // A text cut short reads as a full buffer, which makes the buffer grow.
    return ::GetLastError() == ERROR_INSUFFICIENT_BUFFER ? capacity : 0;
  });
}

Status process_creation_time(HANDLE process, FILETIME* created) {
  FILETIME exited, kernel, user;
  if (!::GetProcessTimes(process, created, &exited, &kernel, &user)) return last_error();
  return {};
}

}  // namespace tavrio
