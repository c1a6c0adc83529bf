// Keeps something busy for a while, so that tests meet real contention:
//   hold_open file <path> <ms>    holds the file or folder open without delete sharing
//   hold_open cwd <folder> <ms>   runs with the folder as its current folder
//   hold_open lock <path> <ms>    holds the file open with no sharing at all
// It creates a marker file once it holds ("<path>.held", or the optional fifth argument), so a
// test knows when to go on; then it sleeps.
#include <windows.h>

#include <string>

#include "common/command_line.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::vector<std::wstring> args = tavrio::own_arguments();
  if (args.size() < 4) return 2;
  const std::wstring& mode = args[1];
  const std::wstring& path = args[2];
  DWORD ms = static_cast<DWORD>(std::wcstoul(args[3].c_str(), nullptr, 10));
  HANDLE held = INVALID_HANDLE_VALUE;
  if (mode == L"file" || mode == L"lock") {
    DWORD share = mode == L"lock" ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE;
    held = ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 3;
  } else if (mode == L"cwd") {
    if (!::SetCurrentDirectoryW(path.c_str())) return 3;
  } else {
    return 2;
  }
  std::wstring marker_path = args.size() > 4 ? args[4] : path + L".held";
  HANDLE marker =
      ::CreateFileW(marker_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (marker != INVALID_HANDLE_VALUE) ::CloseHandle(marker);
  ::Sleep(ms);
  if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
  return 0;
}
