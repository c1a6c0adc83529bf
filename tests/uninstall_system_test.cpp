// The preparatory steps against the real system: the real taskkill ends a running Tavrio.exe,
// the two shortcuts go, and so does the per-user uninstall registration. Runs alone: taskkill
// ends every Tavrio.exe of the session and the registration key is shared.
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
  ::RegDeleteTreeW(HKEY_CURRENT_USER, neighbour.c_str());

  EXPECT_EQ(wait_for_outcome(u), (std::vector<std::string>{kScheduledLine, kKeepOutcome}));
  EXPECT_FALSE(path_exists(u.install + L"\\Tavrio.exe"));
}

}  // namespace
}  // namespace tavrio::test
