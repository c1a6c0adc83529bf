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

void make_install(const std::wstring& dir) {
  write_file(dir + L"\\_internal\\python312.dll", "python runtime");
  write_file(dir + L"\\_internal\\base_library.zip", "stdlib");
  write_file(dir + L"\\Tavrio.exe", "main program");
  ASSERT_TRUE(
      ::CopyFileW(built_exe(L"uninstall.exe").c_str(), (dir + L"\\卸载.exe").c_str(), FALSE));
  write_file(dir + L"\\uninstall.exe", "second name");
  write_file(dir + L"\\tavrio-updater.exe", "updater");
  write_file(dir + L"\\version.txt", "1.0\n");
  ASSERT_TRUE(
      ::CopyFileW(built_exe(L"argv_echo.exe").c_str(), (dir + L"\\taskkill.exe").c_str(), FALSE));
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
  Uninstall u;
  u.root = scratch_dir();
  u.install = u.root + L"\\" + install_name;
  u.temp = u.root + L"\\temp";
  u.local = u.root + L"\\local";
  u.profile = u.root + L"\\profile";
  u.roaming = u.root + L"\\roaming";
  make_install(u.install);
  make_dirs(u.temp);
  make_dirs(u.profile);
  make_dirs(u.roaming);
  write_file(u.local_data() + L"\\config.json", "{}");
  return u;
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
  wait_until(has_outcome, timeout_ms, 100);
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
