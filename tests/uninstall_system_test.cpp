// The preparatory steps against the real system: the real taskkill ends a running Tavrio.exe,
// the shortcuts go, also where the shell keeps a moved Desktop, and so does the per-user
// uninstall registration. Runs alone: taskkill ends every Tavrio.exe of the session, and the
// registration key and the shell's folders are the user's.
#include <gtest/gtest.h>

#include "common/handles.h"
#include "uninstall_e2e.h"

namespace tavrio::test {
namespace {

constexpr wchar_t kUninstallKeys[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

bool key_exists(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

void create_key(const std::wstring& subkey, const wchar_t* value) {
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
            ERROR_SUCCESS);
  ::RegSetValueExW(key, L"DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

// Keys a test creates in the user's registry go again however the test ends.
class KeysRemovedAtEnd {
 public:
  explicit KeysRemovedAtEnd(std::vector<std::wstring> subkeys) : subkeys_(std::move(subkeys)) {}
  ~KeysRemovedAtEnd() {
    for (const std::wstring& subkey : subkeys_) ::RegDeleteTreeW(HKEY_CURRENT_USER, subkey.c_str());
  }
  KeysRemovedAtEnd(const KeysRemovedAtEnd&) = delete;
  KeysRemovedAtEnd& operator=(const KeysRemovedAtEnd&) = delete;

 private:
  std::vector<std::wstring> subkeys_;
};

// A shell folder moved elsewhere for as long as this lives, as a cloud backup moves the Desktop;
// the value it had is put back.
class MovedShellFolder {
 public:
  MovedShellFolder(const wchar_t* name, const std::wstring& to) : name_(name) {
    DWORD size = sizeof old_;
    had_ = ::RegGetValueW(HKEY_CURRENT_USER, kKey, name,
                          RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type_, old_,
                          &size) == ERROR_SUCCESS;
    set(REG_EXPAND_SZ, to.c_str());
  }
  ~MovedShellFolder() {
    had_ ? set(type_, old_) : ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, name_);
  }

 private:
  static constexpr wchar_t kKey[] =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  LSTATUS set(DWORD type, const wchar_t* value) {
    return ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, name_, type, value,
                             static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  }
  const wchar_t* name_;
  bool had_ = false;
  DWORD type_ = REG_EXPAND_SZ;
  wchar_t old_[1024] = {};
};

TEST(PreparatorySteps, StopTheProgramAndRemoveShortcutsAndRegistration) {
  Uninstall u = make_uninstall();
  // This run uses the system's own taskkill.
  ASSERT_TRUE(::DeleteFileW((u.install + L"\\taskkill.exe").c_str()));
  ASSERT_TRUE(::CopyFileW(built_exe(L"standin_app.exe").c_str(),
                          (u.install + L"\\Tavrio.exe").c_str(), FALSE));
  RunOptions options = u.options();
  options.environment[L"STANDIN_RECORD"] = u.root + L"\\standin.txt";
  StartedProcess app = spawn(u.install + L"\\Tavrio.exe", {L"--run-seconds", L"-1"}, options);
  ASSERT_TRUE(app.valid());
  ASSERT_TRUE(wait_until([&] { return path_exists(u.root + L"\\standin.txt"); }, 10000));

  const std::wstring desktop = u.profile + L"\\Desktop";
  const std::wstring menu = u.roaming + L"\\Microsoft\\Windows\\Start Menu\\Programs";
  for (const std::wstring& path : {desktop + L"\\Tavrio.lnk", menu + L"\\Tavrio.lnk",
                                   desktop + L"\\Other.lnk", menu + L"\\Tavrio\\Tavrio.lnk"}) {
    write_file(path, "shortcut");
  }
  const std::wstring ours = std::wstring(kUninstallKeys) + L"\\Tavrio";
  const std::wstring neighbour = std::wstring(kUninstallKeys) + L"\\TavrioTestNeighbour";
  const KeysRemovedAtEnd removed_at_end({ours, neighbour});
  create_key(ours, L"Tavrio");
  create_key(ours + L"\\Nested", L"below");
  create_key(neighbour, L"someone else");

  RunResult r = run(u.uninstaller(), {L"--silent"}, u.options());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0u);
  // taskkill ran to its end before the first process went on.
  EXPECT_EQ(::WaitForSingleObject(app.get(), 0), WAIT_OBJECT_0) << "Tavrio.exe still runs";
  EXPECT_FALSE(path_exists(desktop + L"\\Tavrio.lnk"));
  EXPECT_FALSE(path_exists(menu + L"\\Tavrio.lnk"));
  EXPECT_TRUE(path_exists(desktop + L"\\Other.lnk"));
  EXPECT_TRUE(path_exists(menu + L"\\Tavrio\\Tavrio.lnk"));
  EXPECT_FALSE(key_exists(ours));
  EXPECT_TRUE(key_exists(neighbour));

  EXPECT_EQ(wait_for_outcome(u), (std::vector<std::string>{kScheduledLine, kKeepOutcome}));
  EXPECT_FALSE(path_exists(u.install + L"\\Tavrio.exe"));
}

// With the Desktop and the Programs folder moved, Tavrio.lnk goes from there too and nothing else
// does. First an uninstaller unpacked among the user's files, which changes nothing (the
// registration included); then the real one, all mode from inside an installation that holds
// only its own entries: the folder goes as well.
TEST(PreparatorySteps, ShortcutsGoWhereTheShellKeepsThem) {
  Uninstall u = make_uninstall();
  ASSERT_TRUE(::DeleteFileW((u.install + L"\\taskkill.exe").c_str()));
  const std::wstring desktop = u.root + L"\\OneDrive\\Desktop";
  const std::wstring programs = u.root + L"\\OneDrive\\开始菜单\\Programs";
  for (const std::wstring& folder : {desktop, programs}) {
    write_file(folder + L"\\Tavrio.lnk", "shortcut");
    write_file(folder + L"\\Other.lnk", "someone else's");
  }
  MovedShellFolder moved_desktop(L"Desktop", desktop), moved_programs(L"Programs", programs);
  const std::wstring ours = std::wstring(kUninstallKeys) + L"\\Tavrio";
  const KeysRemovedAtEnd removed_at_end({ours});
  create_key(ours, L"Tavrio");

  const std::wstring unpacked = u.root + L"\\Downloads\\卸载.exe";
  make_dirs(u.root + L"\\Downloads");
  ASSERT_TRUE(::CopyFileW(built_exe(L"uninstall.exe").c_str(), unpacked.c_str(), FALSE));
  StartedProcess refused = spawn(unpacked, {L"--silent", L"--delete-data"}, u.options());
  if (have_display()) {  // without one the guard's box returns at once
    HWND box = wait_for_window({L"#32770", refused.pid()}, 15000);
    ASSERT_NE(box, nullptr);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  ASSERT_TRUE(refused.family_ended_within(15000));
  EXPECT_TRUE(key_exists(ours));
  EXPECT_TRUE(path_exists(desktop + L"\\Tavrio.lnk"));

  ASSERT_TRUE(run(u.uninstaller(), {L"--silent", L"--delete-data"}, u.options()).finished);
  for (const std::wstring& folder : {desktop, programs}) {
    EXPECT_FALSE(path_exists(folder + L"\\Tavrio.lnk")) << narrow(folder);
    EXPECT_TRUE(path_exists(folder + L"\\Other.lnk")) << narrow(folder);
  }
  EXPECT_FALSE(key_exists(ours));
  EXPECT_EQ(wait_for_outcome(u), (std::vector<std::string>{kScheduledLine, kAllOutcome}));
  EXPECT_FALSE(path_exists(u.install));
  EXPECT_FALSE(path_exists(u.local_data()));
}

}  // namespace
}  // namespace tavrio::test
