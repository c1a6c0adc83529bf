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
// "--ready-start PROGRAM ARGS..." does what the guide's application does with "--ready": it
// creates a ready event (each "{ready}" in the arguments replaced by its name), holds its own
// "_internal" folder as a running application holds its runtime (no rename of it can succeed
// meanwhile), starts PROGRAM and waits on the event and on PROGRAM's process together. It
// appends what it saw to "<record>.handshake": "ready <ms from the start to the event>" (then it
// exits at once), or "ended" (PROGRAM ended without setting the event; it keeps running until
// it is ended), or "timed out" after 120 s.
#include <windows.h>

#include <string>

#include "common/command_line.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "common/process_ops.h"
#include "common/text.h"

namespace {

std::wstring own_folder() {
  wchar_t own[4096];
  DWORD n = ::GetModuleFileNameW(nullptr, own, 4096);
  std::wstring path(own, n);
  return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring record_path() {
  wchar_t value[1024];
  DWORD n = ::GetEnvironmentVariableW(L"STANDIN_RECORD", value, 1024);
  if (n > 0 && n < 1024) return std::wstring(value, n);
  return own_folder() + L"\\standin-record.txt";
}

void append_to(const std::wstring& path, const std::string& text) {
  HANDLE file = ::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  tavrio::write_all(file, text);
  ::CloseHandle(file);
}

int start_with_handshake(const std::wstring& program, std::vector<std::wstring> arguments) {
  const std::wstring name = L"Local\\tavrio-ready-" + std::to_wstring(::GetCurrentProcessId()) +
                            L"-" + std::to_wstring(::GetTickCount64());
  tavrio::UniqueHandle<tavrio::InvalidIsNull> ready(
      ::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
  tavrio::UniqueFile runtime(::CreateFileW((own_folder() + L"\\_internal").c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  for (std::wstring& arg : arguments) {
    if (arg == L"{pid}") arg = std::to_wstring(::GetCurrentProcessId());
    if (arg == L"{ready}") arg = name;
  }
  tavrio::ProcessStart start;
  start.program = program;
  start.arguments = arguments;
  tavrio::UniqueProcess updater;
  const ULONGLONG started = ::GetTickCount64();
  if (!ready || !tavrio::start_process(start, &updater).ok()) return 1;
  const HANDLE both[] = {ready.get(), updater.get()};
  const std::wstring outcome = record_path() + L".handshake";
  switch (::WaitForMultipleObjects(2, both, FALSE, 120000)) {
    case WAIT_OBJECT_0:
      append_to(outcome, "ready " + tavrio::decimal(::GetTickCount64() - started) + "\n");
      return 0;
    case WAIT_OBJECT_0 + 1:
      append_to(outcome, "ended\n");
      ::Sleep(INFINITE);
      return 0;
    default:
      append_to(outcome, "timed out\n");
      return 1;
  }
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
  append_to(record_path(), record);
  DWORD close_ms = 0;
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == L"--close-ms") close_ms = std::wcstoul(args[i + 1].c_str(), nullptr, 10);
    if (args[i] == L"--ready-start") {
      return start_with_handshake(args[i + 1], {args.begin() + i + 2, args.end()});
    }
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
