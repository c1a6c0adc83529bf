// Wine gives its programs the environment of its own user profile, whatever the Linux side set.
// This launcher changes variables and then starts a program, waiting for it:
//   env_launcher NAME=VALUE ... -NAME ... -- program [arguments...]
// "NAME=VALUE" sets (an empty VALUE sets the empty text), "-NAME" removes. Its exit code is the
// program's.
#include <windows.h>

#include <string>

#include "common/command_line.h"
#include "common/handles.h"

int wmain() {
  std::vector<std::wstring> args = tavrio::own_arguments();
  size_t i = 1;
  for (; i < args.size() && args[i] != L"--"; ++i) {
    const std::wstring& change = args[i];
    if (!change.empty() && change[0] == L'-') {
      ::SetEnvironmentVariableW(change.substr(1).c_str(), nullptr);
    } else if (size_t eq = change.find(L'='); eq != std::wstring::npos) {
      ::SetEnvironmentVariableW(change.substr(0, eq).c_str(), change.substr(eq + 1).c_str());
    }
  }
  if (i + 1 >= args.size()) return 120;
  std::vector<std::wstring> rest(args.begin() + static_cast<long>(i) + 2, args.end());
  std::wstring line = tavrio::build_command_line(args[i + 1], rest);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(args[i + 1].c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &info)) {
    return 121;
  }
  ::CloseHandle(info.hThread);
  tavrio::UniqueProcess process(info.hProcess);
  ::WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  return static_cast<int>(code);
}
