// Starting processes (without waiting, or run to their end with their output read), and what
// a running process is: its image and its creation time.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/handles.h"
#include "common/os_error.h"

namespace tavrio {

struct ProcessStart {
  std::wstring program;  // full path (a bare name: see find_program)
  std::vector<std::wstring> arguments;
  DWORD creation_flags = 0;        // CREATE_UNICODE_ENVIRONMENT is always added
  std::wstring current_directory;  // empty: the caller's own
  // When set, the command line is exactly this text instead of one built from the program
  // and the arguments.
  std::wstring command_line_override;
};

// A full path unchanged; a bare name completed with ".exe" and looked for in the running
// program's folder, the system folder, the Windows folder, then PATH (never the current
// folder). ERROR_FILE_NOT_FOUND when found nowhere.
Status find_program(const std::wstring& name, std::wstring* found);

// CreateProcessW with inherited handles; the caller's standard handles are passed on when it
// has any. The thread handle is closed at once, the process handle too unless `process` takes it.
Status start_process(const ProcessStart& start, UniqueProcess* process = nullptr);

struct ProcessResult {
  DWORD exit_code = 0;
  std::string output;
  std::string error_output;
};

// Runs a program with standard input from the null device and both output streams into pipes
// read to their end, waits without a time limit and returns its exit code.
Status run_to_end(const ProcessStart& start, ProcessResult* result);

// The full path of the process's image, as QueryFullProcessImageNameW gives it (the handle
// needs PROCESS_QUERY_LIMITED_INFORMATION).
Status process_image_path(HANDLE process, std::wstring* path);

// When the process was created, as GetProcessTimes gives it.
Status process_creation_time(HANDLE process, FILETIME* created);

}  // namespace tavrio
