// A silent all-mode uninstall of a 3,000-file installation, timed from the start of "卸载.exe"
// until the install folder is gone, beside its floor measured in the same run: the cleanup
// run's pause after the first process has gone, plus the common tree removal alone on an
// identical tree. Each round also times the same uninstall started by a launcher that keeps
// the first process open after it has ended, as the Apps list or an installer waiting on it
// does.
//   bench_uninstall [rounds] [work folder]
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/clock.h"
#include "common/file_ops.h"
#include "common/tree_removal.h"
#include "common/handles.h"
#include "common/path.h"

namespace {

constexpr int kFolders = 30;
constexpr int kFilesPerFolder = 99;  // with the 30 files at the top: 3,000 files

double seconds_since(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  ::QueryPerformanceCounter(&now);
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

LARGE_INTEGER now() {
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return t;
}

bool write_file(const std::wstring& path, const std::string& bytes) {
  tavrio::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file &&
         ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// A one-folder bundle of 3,000 files: the runtime in 30 package folders, one of every five a
// few levels deep, and the program files at the top.
int make_install(const std::wstring& dir, const std::wstring& uninstaller) {
  int files = 0;
  const std::string blob(1024, 'x');
  ::CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring internal = tavrio::join(dir, L"_internal");
  ::CreateDirectoryW(internal.c_str(), nullptr);
  for (int d = 0; d < kFolders; ++d) {
    std::wstring sub = tavrio::join(internal, L"pkg" + std::to_wstring(d));
    ::CreateDirectoryW(sub.c_str(), nullptr);
    for (int depth = 0; depth < d % 5; ++depth) {
      sub = tavrio::join(sub, L"deep");
      ::CreateDirectoryW(sub.c_str(), nullptr);
    }
    for (int f = 0; f < kFilesPerFolder; ++f) {
      files += write_file(tavrio::join(sub, L"m" + std::to_wstring(f) + L".pyc"), blob);
    }
    files += write_file(tavrio::join(internal, L"lib" + std::to_wstring(d) + L".pyd"), blob);
  }
  if (!uninstaller.empty()) {
    files +=
        ::CopyFileW(uninstaller.c_str(), tavrio::join(dir, L"卸载.exe").c_str(), FALSE) ? 1 : 0;
    files += write_file(tavrio::join(dir, L"Tavrio.exe"), blob);
    files -= 2;  // they stand in for two of the runtime files, keeping 3,000
    ::DeleteFileW(tavrio::join(internal, L"lib0.pyd").c_str());
    ::DeleteFileW(tavrio::join(internal, L"lib1.pyd").c_str());
  }
  return files;
}

std::vector<wchar_t> environment_with(const std::map<std::wstring, std::wstring>& changes) {
  std::vector<wchar_t> block;
  wchar_t* current = ::GetEnvironmentStringsW();
  for (const wchar_t* p = current; *p; p += wcslen(p) + 1) {
    std::wstring entry(p);
    size_t eq = entry.find(L'=', 1);
    if (eq != std::wstring::npos && changes.count(entry.substr(0, eq))) continue;
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  ::FreeEnvironmentStringsW(current);
  for (const auto& [name, value] : changes) {
    std::wstring entry = name + L"=" + value;
    block.insert(block.end(), entry.begin(), entry.end());
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

struct Run {
  double first_process = 0;  // until the first process had ended
  double total = 0;          // until the install folder was gone
  bool removed = false;
};

// `hold_first`: keep a handle on the first process after it has ended, as a launcher that waits
// on the uninstaller does.
Run timed_uninstall(const std::wstring& install, const std::wstring& work, bool hold_first) {
  Run run;
  const std::wstring temp = tavrio::join(work, L"temp");
  const std::wstring local = tavrio::join(work, L"local");
  ::CreateDirectoryW(temp.c_str(), nullptr);
  ::CreateDirectoryW(local.c_str(), nullptr);
  std::vector<wchar_t> env = environment_with({{L"TMP", temp},
                                               {L"TEMP", temp},
                                               {L"LOCALAPPDATA", local},
                                               {L"USERPROFILE", work},
                                               {L"APPDATA", work}});
  const std::wstring program = tavrio::join(install, L"卸载.exe");
  std::wstring line = tavrio::build_command_line(program, {L"--silent", L"--delete-data"});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const LARGE_INTEGER start = now();
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, env.data(), work.c_str(), &startup, &info)) {
    return run;
  }
  ::CloseHandle(info.hThread);
  tavrio::UniqueProcess first(info.hProcess);
  bool first_done = false;
  while (seconds_since(start) < 60) {
    if (!first_done && ::WaitForSingleObject(first.get(), 0) == WAIT_OBJECT_0) {
      run.first_process = seconds_since(start);
      first_done = true;
      // An open handle keeps the ended process visible to the cleanup copy's OpenProcess.
      if (!hold_first) first.reset();
    }
    if (::GetFileAttributesW(install.c_str()) == INVALID_FILE_ATTRIBUTES) {
      run.total = seconds_since(start);
      run.removed = true;
      break;
    }
    ::Sleep(2);
  }
  return run;
}

// The floor's first part: the cleanup run polls a process that has already ended (one
// OpenProcess) and pauses 400 ms.
double poll_and_pause() {
  const LARGE_INTEGER start = now();
  tavrio::UniqueProcess gone(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0x7FFFFFF0));
  tavrio::pause_ms(400);
  return seconds_since(start);
}

}  // namespace

int wmain() {
  std::vector<std::wstring> args = tavrio::own_arguments();
  const int rounds = args.size() > 1 ? _wtoi(args[1].c_str()) : 3;
  wchar_t own[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, own, MAX_PATH);
  std::wstring bin(own, n);
  bin = bin.substr(0, bin.find_last_of(L'\\'));
  const std::wstring work = args.size() > 2 ? args[2] : tavrio::join(bin, L"..\\bench-uninstall");
  const std::wstring uninstaller = tavrio::join(bin, L"uninstall.exe");

  double sum_total = 0, sum_first = 0, sum_tree = 0, sum_pause = 0, sum_held = 0;
  int files = 0;
  for (int round = 0; round < rounds; ++round) {
    (void)tavrio::remove_tree(work);
    ::CreateDirectoryW(work.c_str(), nullptr);
    const std::wstring install = tavrio::join(work, L"Tavrio");
    const std::wstring tree = tavrio::join(work, L"same-tree");
    files = make_install(install, uninstaller);
    make_install(tree, uninstaller);

    Run run = timed_uninstall(install, work, false);
    if (!run.removed) {
      std::printf("round %d: the install folder was still there after 60 s\n", round + 1);
      return 1;
    }
    make_install(install, uninstaller);
    Run held = timed_uninstall(install, work, true);
    if (!held.removed) {
      std::printf("round %d (held): the install folder was still there after 60 s\n", round + 1);
      return 1;
    }
    LARGE_INTEGER start = now();
    if (!tavrio::remove_tree(tree).ok()) return 1;
    const double tree_alone = seconds_since(start);
    const double pause = poll_and_pause();
    std::printf(
        "round %d: uninstall %.3f s (first process %.3f s), held open %.3f s, floor %.3f s "
        "(pause %.3f + tree removal %.3f)\n",
        round + 1, run.total, run.first_process, held.total, pause + tree_alone, pause, tree_alone);
    sum_total += run.total;
    sum_held += held.total;
    sum_first += run.first_process;
    sum_tree += tree_alone;
    sum_pause += pause;
  }
  (void)tavrio::remove_tree(work);
  const double total = sum_total / rounds, first = sum_first / rounds;
  const double tree = sum_tree / rounds, pause = sum_pause / rounds;
  std::printf("silent all-mode uninstall of %d files, mean of %d rounds:\n", files, rounds);
  std::printf("  start of 卸载.exe until the install folder is gone  %7.3f s\n", total);
  std::printf(
      "    of which the first process (taskkill, shortcuts,\n"
      "    registration, copy and start)                    %7.3f s\n",
      first);
  std::printf("  the same, first process held open by its launcher  %7.3f s\n", sum_held / rounds);
  std::printf("  floor: poll and pause %.3f s + tree removal %.3f s = %7.3f s\n", pause, tree,
              pause + tree);
  std::printf("  above the floor                                     %7.3f s\n",
              total - pause - tree);
  std::printf("  tree removal alone: %.0f files/s\n", files / tree);
  std::printf("  goal: at most 2.3 s (NSIS) + 0.4 s pause = 2.7 s -> %s\n",
              total <= 2.7 ? "met" : "missed");
  return 0;
}
