// Times one tree removal of the folder given on the command line and prints the seconds:
//   bench_tree_removal ours <folder>   the common tree removal (relative opens, dispositions)
//   bench_tree_removal walk <folder>   a plain recursive DeleteFileW/RemoveDirectoryW walk
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/command_line.h"
#include "common/file_ops.h"
#include "common/tree_removal.h"

namespace {

bool plain_walk(const std::wstring& dir) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = dir + L"\\" + name;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        plain_walk(path);
      } else {
        ::DeleteFileW(path.c_str());
      }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
  }
  return ::RemoveDirectoryW(dir.c_str());
}

}  // namespace

int wmain() {
  std::vector<std::wstring> args = tavrio::own_arguments();
  if (args.size() < 3) return 2;
  LARGE_INTEGER frequency, start, end;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&start);
  bool ok = args[1] == L"walk" ? plain_walk(args[2]) : tavrio::remove_tree(args[2]).ok();
  ::QueryPerformanceCounter(&end);
  std::printf("%.4f\n", static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
  return ok ? 0 : 1;
}
