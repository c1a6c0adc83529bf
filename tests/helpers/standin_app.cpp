// Stands in for the Tavrio application. Each start appends a record to "standin-record.txt"
// beside its own exe (or to the file named by STANDIN_RECORD):
//   start <pid>
//   cwd <current folder>
//   argc <number of arguments after the program>
//   arg <argument>            (one line each)
//   end
// "--run-seconds N" keeps it running N seconds (forever with N = -1) before it exits with 0.
// "--then-start PROGRAM ARGS..." starts PROGRAM with the arguments that follow (each "{pid}"
// replaced by its own process id) and exits at once, as the application does with the updater;
// "--close-ms N" before it makes it take N ms to close after that start.
#include <windows.h>

#include <string>

#include "common/command_line.h"
#include "common/file_ops.h"
#include "common/process_ops.h"
#include "common/text.h"

namespace {

std::wstring record_path() {
  wchar_t value[1024];
  DWORD n = ::GetEnvironmentVariableW(L"STANDIN_RECORD", value, 1024);
  if (n > 0 && n < 1024) return std::wstring(value, n);
  wchar_t own[4096];
  n = ::GetModuleFileNameW(nullptr, own, 4096);
  std::wstring path(own, n);
  return path.substr(0, path.find_last_of(L'\\') + 1) + L"standin-record.txt";
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::vector<std::wstring> args = tavrio::own_arguments();
  wchar_t cwd[4096];
  DWORD n = ::GetCurrentDirectoryW(4096, cwd);
  std::string record = "start " + tavrio::decimal(::GetCurrentProcessId()) + "\n";
  record += "cwd " + tavrio::display_form(std::wstring_view(cwd, n)) + "\n";
  record += "argc " + tavrio::decimal(args.empty() ? 0 : args.size() - 1) + "\n";
  for (size_t i = 1; i < args.size(); ++i) record += "arg " + tavrio::display_form(args[i]) + "\n";
  record += "end\n";
  HANDLE file = ::CreateFileW(record_path().c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    tavrio::write_all(file, record);
    ::CloseHandle(file);
  }
  DWORD close_ms = 0;
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == L"--close-ms") close_ms = std::wcstoul(args[i + 1].c_str(), nullptr, 10);
    if (args[i] == L"--then-start") {
      std::vector<std::wstring> rest(args.begin() + i + 2, args.end());
      for (std::wstring& arg : rest) {
        if (arg == L"{pid}") arg = std::to_wstring(::GetCurrentProcessId());
      }
      tavrio::ProcessStart start;
      start.program = args[i + 1];
      start.arguments = rest;
      (void)tavrio::start_process(start);
      ::Sleep(close_ms);
      return 0;
    }
    if (args[i] == L"--run-seconds") {
      long seconds = std::wcstol(args[i + 1].c_str(), nullptr, 10);
      ::Sleep(seconds < 0 ? INFINITE : static_cast<DWORD>(seconds) * 1000);
    }
  }
  return 0;
}
