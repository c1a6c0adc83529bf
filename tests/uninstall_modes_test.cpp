// Mode dispatch of the real uninstaller: which arguments make a cleanup run, a silent run or
// the window, how "--dir" is read, and the guard's message box on a folder without Tavrio.exe.
#include <gtest/gtest.h>

#include "bin/window.h"
#include "common/handles.h"
#include "uninstall_e2e.h"

namespace tavrio::test {
namespace {

using Args = std::vector<std::wstring>;

TEST(ModeDispatch, CleanupWinsOverSilentAndTakesOnlyWhatFollowsIt) {
  Uninstall u = make_uninstall();
  RunResult r =
      run(outside_runner(u), {L"--silent", L"--cleanup", u.install, L"keep", L"0"}, u.options());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0u);
  // The cleanup ran in this very process: its outcome and nothing of silent mode.
  EXPECT_EQ(log_messages(u.setup_log()), std::vector<std::string>{kKeepOutcome});
  EXPECT_FALSE(path_exists(u.cleanup_copy()));
  EXPECT_EQ(names_in(u.install), std::vector<std::wstring>{L"taskkill.exe"});
}

TEST(ModeDispatch, TooFewCleanupArgumentsExitWithTwoAndTouchNothing) {
  Uninstall u = make_uninstall();
  const std::wstring runner = outside_runner(u);
  const Args cases[] = {
      {L"--silent", L"--cleanup"},
      {L"--cleanup", u.install},
      {L"--cleanup", u.install, L"all"},
  };
  for (const Args& args : cases) {
    RunResult r = run(runner, args, u.options());
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exit_code, 2u) << args.size();
  }
  EXPECT_FALSE(path_exists(u.setup_log()));
  EXPECT_EQ(names_in(u.install), kSampleInstallNames);
  EXPECT_TRUE(path_exists(u.local_data() + L"\\config.json"));
}

// Options that differ from "--silent" in any way open the window; nothing is removed.
TEST(ModeDispatch, OptionsMustMatchWholeAndExactly) {
  if (!have_display()) GTEST_SKIP() << "no X display: the window cannot open";
  Uninstall u = make_uninstall();
  const std::wstring shortcut = u.profile + L"\\Desktop\\Tavrio.lnk";
  write_file(shortcut, "lnk");
  const wchar_t* variants[] = {L"--Silent", L"-silent", L"--silent=1", L"--silent ", L"silent"};
  for (const wchar_t* variant : variants) {
    StartedProcess process = spawn(u.uninstaller(), {variant, L"--delete-data"}, u.options());
    ASSERT_TRUE(process.valid());
    HWND window = wait_for_window({uninstall::kWindowClass, process.pid()}, 15000);
    EXPECT_NE(window, nullptr) << narrow(variant) << ": no window";
    if (window != nullptr) ::PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(process.ends_within(15000)) << narrow(variant);
    EXPECT_EQ(process.exit_code(), 0u);
  }
  EXPECT_FALSE(path_exists(u.setup_log()));
  EXPECT_FALSE(path_exists(u.cleanup_copy()));
  EXPECT_TRUE(path_exists(shortcut));
  EXPECT_EQ(names_in(u.install), kSampleInstallNames);
}

// Which folder a silent keep-mode run empties, for the "--dir" rules.
TEST(ModeDispatch, DirOptionRules) {
  Uninstall u = make_uninstall(L"own");
  const std::wstring first = u.root + L"\\first", second = u.root + L"\\second";
  const std::wstring relative = u.root + L"\\--silent";
  make_install(first);
  make_install(second);
  make_install(relative);
  struct Case {
    const char* name;
    Args args;
    std::wstring current_directory;
    std::wstring emptied;
  };
  const Case cases[] = {
      {"--dir last is ignored", {L"--silent", L"--dir"}, {}, u.install},
      {"the first --dir with a path wins",
       {L"--silent", L"--dir", first, L"--dir", second},
       {},
       first},
      // "--silent" is both the folder (relative to the current one) and the silent option.
      {"--dir --silent", {L"--dir", L"--silent"}, u.root, relative},
  };
  for (const Case& c : cases) {
    ::DeleteFileW(u.setup_log().c_str());
    RunResult r = run(u.uninstaller(), c.args, u.options(c.current_directory));
    ASSERT_TRUE(r.finished) << c.name;
    EXPECT_EQ(r.exit_code, 0u) << c.name;
    std::vector<std::string> log = wait_for_outcome(u);
    EXPECT_EQ(log, (std::vector<std::string>{kScheduledLine, kKeepOutcome})) << c.name;
    EXPECT_EQ(names_in(c.emptied), std::vector<std::wstring>{L"taskkill.exe"}) << c.name;
    for (const std::wstring& other : {u.install, first, second, relative}) {
      if (other != c.emptied) {
        EXPECT_EQ(names_in(other), kSampleInstallNames) << c.name;
      }
    }
    make_install(c.emptied);
  }
}

// Without Tavrio.exe in the folder the guard's box explains and nothing is touched, in silent
// mode too; also where "卸载.exe" lies among the user's files, as in a Downloads folder that the
// release zip was unpacked into.
TEST(ModeDispatch, GuardShowsItsMessageAndDeletesNothing) {
  if (!have_display()) GTEST_SKIP() << "no X display: MessageBoxW returns at once without one";
  Uninstall u = make_uninstall();
  const std::wstring empty = u.root + L"\\没有主程序 folder";
  write_file(empty + L"\\_internal\\python312.dll", "x");
  write_file(empty + L"\\version.txt", "1.0");
  const std::wstring downloads = u.root + L"\\Downloads";
  write_file(downloads + L"\\照片.jpg", "the user's");
  write_file(downloads + L"\\文档\\a.txt", "the user's");
  const std::wstring unpacked = downloads + L"\\卸载.exe";
  ASSERT_TRUE(::CopyFileW(built_exe(L"uninstall.exe").c_str(), unpacked.c_str(), FALSE));
  const std::vector<std::wstring> downloads_before = list_tree(downloads);
  const std::wstring shortcut = u.profile + L"\\Desktop\\Tavrio.lnk";
  write_file(shortcut, "lnk");
  struct Case {
    std::wstring runner;
    Args args;
    std::wstring shown_dir;
    std::wstring current_directory;
  };
  const Case cases[] = {
      {u.uninstaller(), {L"--silent", L"--delete-data", L"--dir", empty}, empty, {}},
      {u.uninstaller(), {L"--dir", L"--silent", L"--delete-data"}, L"--silent", u.root},
      {unpacked, {L"--silent", L"--delete-data"}, downloads, {}},
      {unpacked, {}, downloads, {}},  // the window's mode
  };
  for (const Case& c : cases) {
    StartedProcess process = spawn(c.runner, c.args, u.options(c.current_directory));
    ASSERT_TRUE(process.valid());
    HWND box = wait_for_window({L"#32770", process.pid()}, 15000);
    ASSERT_NE(box, nullptr) << "no message box for " << narrow(c.shown_dir);
    wchar_t caption[64];
    int n = ::GetWindowTextW(box, caption, 64);
    EXPECT_EQ(std::wstring(caption, n), L"Tavrio");
    const std::wstring text = L"这个目录里没有 Tavrio.exe，未做任何删除：\n" + c.shown_dir;
    std::vector<std::wstring> texts = child_texts(box);
    bool found = false;
    for (std::wstring t : texts) {
      // The static control may hold the line break as "\r\n".
      for (size_t at; (at = t.find(L"\r\n")) != std::wstring::npos;) t.erase(at, 1);
      found = found || t == text;
    }
    EXPECT_TRUE(found) << "box text not found; expected " << narrow(text);
    // Still waiting for the user: nothing has happened yet.
    EXPECT_EQ(::WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(process.ends_within(15000));
    EXPECT_EQ(process.exit_code(), 0u);
    // Nothing was started that could still delete something later.
    ASSERT_TRUE(process.family_ended_within(15000));
    EXPECT_EQ(process.processes_started(), 1u);
  }
  EXPECT_FALSE(path_exists(u.setup_log()));
  EXPECT_FALSE(path_exists(u.cleanup_copy()));
  EXPECT_EQ(list_tree(empty), (std::vector<std::wstring>{
                                  L"_internal\\", L"_internal\\python312.dll", L"version.txt"}));
  EXPECT_EQ(names_in(u.install), kSampleInstallNames);
  EXPECT_EQ(list_tree(downloads), downloads_before);
  EXPECT_TRUE(path_exists(shortcut)) << "the preparatory steps ran";
  EXPECT_TRUE(path_exists(u.local_data() + L"\\config.json"));
}

// Wine prefers its own uxtheme to one found beside a program, where Windows takes the first on
// the search path. A per-program override (ignored by Windows) makes Wine search as Windows does
// for the two programs of the test.
class NativeUxthemeFor {
 public:
  explicit NativeUxthemeFor(const std::wstring& exe_name)
      : key_(L"Software\\Wine\\AppDefaults\\" + exe_name) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0,
                          KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
      const wchar_t order[] = L"native,builtin";
      ::RegSetValueExW(key, L"uxtheme", 0, REG_SZ, reinterpret_cast<const BYTE*>(order),
                       sizeof order);
      ::RegCloseKey(key);
    }
  }
  ~NativeUxthemeFor() { ::RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }

 private:
  std::wstring key_;
};

// A DLL left beside the uninstaller under a system DLL's name (here uxtheme.dll, which the
// system loads when the first window opens) must not be loaded: the uninstaller and its cleanup
// copy run from folders that others can write to.
TEST(ModeDispatch, DllsBesideTheProgramAreNotLoaded) {
  if (!have_display()) GTEST_SKIP() << "no X display: no window opens, so no DLL is loaded";
  Uninstall u = make_uninstall();
  const std::wstring planted = built_exe(L"planted\\uxtheme.dll");
  const std::wstring folder = u.root + L"\\planted";
  make_dirs(folder);
  ASSERT_TRUE(::CopyFileW(planted.c_str(), (folder + L"\\uxtheme.dll").c_str(), FALSE));
  const std::wstring marker = folder + L"\\planted-dll-loaded.txt";
  const std::wstring probe = folder + L"\\tavrio-planted-probe.exe";
  const std::wstring runner = folder + L"\\tavrio-planted-uninstall.exe";
  ASSERT_TRUE(::CopyFileW(built_exe(L"uninstall_dll_probe.exe").c_str(), probe.c_str(), FALSE));
  ASSERT_TRUE(::CopyFileW(built_exe(L"uninstall.exe").c_str(), runner.c_str(), FALSE));
  NativeUxthemeFor probe_override(L"tavrio-planted-probe.exe");
  NativeUxthemeFor runner_override(L"tavrio-planted-uninstall.exe");

  // Control: a program that keeps the default search order loads the planted DLL.
  ASSERT_TRUE(run(probe, {}, u.options()).finished);
  if (!path_exists(marker)) {
    GTEST_SKIP() << "this system does not load a uxtheme.dll found beside a program";
  }
  ASSERT_TRUE(::DeleteFileW(marker.c_str()));

  StartedProcess process =
      spawn(runner, {L"--silent", L"--dir", u.root + L"\\nothing"}, u.options());
  ASSERT_TRUE(process.valid());
  HWND box = wait_for_window({L"#32770", process.pid()}, 15000);
  ASSERT_NE(box, nullptr);
  ::PostMessageW(box, WM_COMMAND, IDOK, 0);
  ASSERT_TRUE(process.ends_within(15000));
  EXPECT_FALSE(path_exists(marker)) << "the uninstaller loaded the DLL from its own folder";
}

}  // namespace
}  // namespace tavrio::test
