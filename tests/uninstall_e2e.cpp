#include "uninstall_e2e.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tavrio::test {

RunOptions Uninstall::options(const std::wstring& current_directory) const {
  RunOptions o;
  o.current_directory = current_directory;
  o.environment[L"TMP"] = temp;
  o.environment[L"TEMP"] = temp;
  o.environment[L"LOCALAPPDATA"] = local;
  o.environment[L"USERPROFILE"] = profile;
  o.environment[L"APPDATA"] = roaming;
  return o;
}

namespace {
std::vector<SceneFile> sample_install_files() {
  std::vector<SceneFile> files =
      bundle_files({.main_program = {.bytes = "main program"},
                    .runtime = "python runtime",
                    .stdlib = "stdlib",
                    .uninstaller = {.copy_of = built_exe(L"uninstall.exe")}});
  files.insert(files.end(), {{L"uninstall.exe", "second name", {}},
                             {L"tavrio-updater.exe", "updater", {}},
                             {L"version.txt", "1.0\n", {}},
                             {L"taskkill.exe", {}, built_exe(L"argv_echo.exe")}});
  return files;
}
}  // namespace

void make_install(const std::wstring& dir) {
  ASSERT_EQ(write_bundle(dir, sample_install_files()), L"");
}

std::wstring outside_runner(const Uninstall& u) {
  const std::wstring folder = u.root + L"\\runner";
  make_dirs(folder);
  EXPECT_TRUE(
      ::CopyFileW(built_exe(L"uninstall.exe").c_str(), (folder + L"\\卸载.exe").c_str(), FALSE));
  EXPECT_TRUE(::CopyFileW(built_exe(L"argv_echo.exe").c_str(), (folder + L"\\taskkill.exe").c_str(),
                          FALSE));
  return folder + L"\\卸载.exe";
}

Uninstall make_uninstall(const std::wstring& install_name) {
  SceneOptions options;
  options.install_name = install_name;
  options.installed = sample_install_files();
  options.user_folders = true;
  const Scene scene = make_scene(scratch_dir(), options);
  EXPECT_EQ(scene.failed, L"");
  return {scene};
}

Uninstall make_shipped_uninstall() {
  SceneOptions options;
  options.installed = sample_bundle(bin_dir(), "1.0");
  options.installed.push_back({L"notes.txt", "the user's own file", {}});
  options.user_folders = options.shortcuts = true;
  const Scene scene = make_scene(scratch_dir(), options);
  EXPECT_EQ(scene.failed, L"");
  return {scene};
}

std::vector<std::string> wait_for_outcome(const Uninstall& u, DWORD timeout_ms) {
  auto has_outcome = [&] {
    for (const std::string& line : read_lines(u.setup_log())) {
      if (line.find(kKeepOutcome) != std::string::npos ||
          line.find(kAllOutcome) != std::string::npos ||
          line.find(kOthersKeptOutcome) != std::string::npos ||
          line.find(kIncompleteOutcome) != std::string::npos) {
        return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(wait_until(has_outcome, timeout_ms, 100))
      << "no outcome in the setup log within " << timeout_ms << " ms";
  return log_messages(u.setup_log());
}

std::vector<std::wstring> names_in(const std::wstring& dir) {
  std::vector<std::wstring> names;
  for (const std::wstring& entry : list_tree(dir)) {
    size_t slash = entry.find(L'\\');
    if (slash == std::wstring::npos) {
      names.push_back(entry);
    } else if (slash + 1 == entry.size()) {
      names.push_back(entry.substr(0, slash));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
BOOL CALLBACK collect_text(HWND child, LPARAM param) {
  wchar_t text[1024];
  int n = ::GetWindowTextW(child, text, 1024);
  reinterpret_cast<std::vector<std::wstring>*>(param)->push_back(std::wstring(text, n));
  return TRUE;
}
}  // namespace

std::vector<std::wstring> child_texts(HWND window) {
  std::vector<std::wstring> texts;
  ::EnumChildWindows(window, collect_text, reinterpret_cast<LPARAM>(&texts));
  return texts;
}

bool have_display() {
  wchar_t value[256];
  DWORD n = ::GetEnvironmentVariableW(L"DISPLAY", value, 256);
  return !running_under_wine() || (n > 0 && n < 256);
}

bool system_gives_temp_folder() {
  using Query = DWORD(WINAPI*)(DWORD, LPWSTR);
  FARPROC two = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W");
  Query query = two ? reinterpret_cast<Query>(reinterpret_cast<void*>(two)) : &::GetTempPathW;
  wchar_t buffer[MAX_PATH + 1];
  return query(MAX_PATH + 1, buffer) != 0;
}

}  // namespace tavrio::test
