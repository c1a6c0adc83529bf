// The uninstaller's modules in-process: the locations and their fallbacks, the cleanup copy's
// command line, the wait for its report, and what happens without a temporary folder.
#include <gtest/gtest.h>

#include <map>

#include "bin/cleanup_copy.h"
#include "bin/cleanup_report.h"
#include "bin/locations.h"
#include "bin/modes.h"
#include "bin/setup_log.h"
#include "common/command_line.h"
#include "support/test_support.h"
#include "uninstall_e2e.h"

namespace tavrio::uninstall {
namespace {

using Args = std::vector<std::wstring>;
using Env = std::map<std::wstring, std::wstring>;

EnvLookup lookup_in(const Env& env) {
  return [env](const wchar_t* name) -> std::optional<std::wstring> {
    auto found = env.find(name);
    if (found == env.end()) return std::nullopt;
    return found->second;
  };
}

TEST(Locations, InstallDirectoryFromDirOwnFolderOrFallback) {
  const std::optional<std::wstring> own = L"D:\\Apps\\Tavrio\\卸载.exe";
  const Env local = {{L"LOCALAPPDATA", L"E:\\Users\\me\\AppData\\Local"}};
  struct Case {
    Args args;
    std::optional<std::wstring> own_exe;
    Env env;
    std::wstring expected;
  };
  const Case cases[] = {
      {{L"u.exe", L"--dir", L"D:\\Apps\\T"}, own, {}, L"D:\\Apps\\T"},
      {{L"u.exe", L"--silent", L"--dir"}, own, {}, L"D:\\Apps\\Tavrio"},
      {{L"u.exe", L"--dir", L"A", L"--dir", L"B"}, own, {}, L"A"},
      {{L"u.exe", L"--dir", L"--silent"}, own, {}, L"--silent"},
      {{L"u.exe", L"--dir", L""}, own, {}, L""},
      {{L"u.exe", L"--DIR", L"X"}, own, {}, L"D:\\Apps\\Tavrio"},
      {{L"u.exe"}, L"C:\\卸载.exe", {}, L"C:\\"},
      {{L"u.exe"}, L"\\\\?\\D:\\卸载.exe", {}, L"\\\\?\\D:\\"},
      {{L"u.exe"}, L"卸载.exe", local, L"E:\\Users\\me\\AppData\\Local\\Programs\\Tavrio"},
      {{L"u.exe"}, std::nullopt, local, L"E:\\Users\\me\\AppData\\Local\\Programs\\Tavrio"},
      {{L"u.exe"}, std::nullopt, {}, L"C:\\Programs\\Tavrio"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(install_dir_from(c.args, c.own_exe, lookup_in(c.env)), c.expected)
        << test::narrow(c.expected);
  }
}

TEST(Locations, FoldersFollowTheirVariablesWithFallbacks) {
  struct Case {
    Env env;
    std::wstring local_data, desktop, start_menu;
  };
  const Case cases[] = {
      {{{L"LOCALAPPDATA", L"L:\\loc"}, {L"USERPROFILE", L"P:\\me"}, {L"APPDATA", L"R:\\roam\\"}},
       L"L:\\loc\\Tavrio",
       L"P:\\me\\Desktop",
       L"R:\\roam\\Microsoft\\Windows\\Start Menu\\Programs"},
      {{{L"LOCALAPPDATA", L"L:\\loc"}}, L"L:\\loc\\Tavrio", L"L:\\loc", L"L:\\loc"},
      {{}, L"C:\\Tavrio", L"C:\\", L"C:\\"},
      // A value that is not a full path counts as unset: it would resolve against whatever
      // folder is current, or the current folder of a drive.
      {{{L"LOCALAPPDATA", L"."}, {L"USERPROFILE", L"Tavrio"}, {L"APPDATA", L"C:Tavrio"}},
       L"C:\\Tavrio",
       L"C:\\",
       L"C:\\"},
      {{{L"LOCALAPPDATA", L"\\Tavrio"},
        {L"USERPROFILE", L"\\\\server\\share\\me"},
        {L"APPDATA", L"D:/roam"}},
       L"C:\\Tavrio",
       L"\\\\server\\share\\me\\Desktop",
       L"D:/roam\\Microsoft\\Windows\\Start Menu\\Programs"},
  };
  for (const Case& c : cases) {
    const EnvLookup env = lookup_in(c.env);
    EXPECT_EQ(local_data_folder(env), c.local_data);
    EXPECT_EQ(desktop_folder(env), c.desktop);
    EXPECT_EQ(start_menu_folder(env), c.start_menu);
  }
}

TEST(Locations, AnEmptyVariableCountsAsUnset) {
  const wchar_t kName[] = L"TAVRIO_UNINSTALL_TEST_VARIABLE";
  {
    test::ScopedEnvironmentVariable v(kName, std::nullopt);
    EXPECT_EQ(process_environment(kName), std::nullopt);
  }
  {
    test::ScopedEnvironmentVariable v(kName, L"");
    EXPECT_EQ(process_environment(kName), std::nullopt);
  }
  {
    const std::wstring long_value(1000, L'x');
    test::ScopedEnvironmentVariable v(kName, long_value);
    EXPECT_EQ(process_environment(kName), long_value);
  }
  {
    test::ScopedEnvironmentVariable v(L"LOCALAPPDATA", L"");
    EXPECT_EQ(local_data_folder(), L"C:\\Tavrio");
  }
}

TEST(CleanupCopy, CommandLineCarriesTheInstallDirectoryUnchanged) {
  const std::wstring program = L"C:\\Users\\me\\AppData\\Local\\Temp\\tavrio-uninstall-cleanup.exe";
  struct Case {
    std::wstring dir;
    CleanupCopyStart how;
    DWORD pid;
    Args after_dir;  // the mode word, the process id and the words
  };
  const Case cases[] = {
      {L"D:\\Tavrio 安装 目录\\", {.keep_local_data = true}, 1234, {L"keep", L"1234"}},
      {L"C:\\a b\\\\", {.keep_local_data = false}, 4294967295u, {L"all", L"4294967295"}},
      {L"C:\\with\"quote\\", {.keep_local_data = true}, 7, {L"keep", L"7"}},
      {L"\\\\server\\share\\T\\", {.keep_local_data = false}, 1000000000u, {L"all", L"1000000000"}},
      {L"", {.keep_local_data = true}, 10, {L"keep", L"10"}},
      {L"--silent", {.keep_local_data = true}, 10, {L"keep", L"10"}},
      {L"C:\\T",
       {.keep_local_data = false, .from_window = true, .first_process_waits = true},
       5,
       {L"all", L"5", L"window", L"wait"}},
  };
  for (const Case& c : cases) {
    const Args args = cleanup_arguments(c.dir, c.how, c.pid);
    Args expected = {L"--cleanup", c.dir};
    expected.insert(expected.end(), c.after_dir.begin(), c.after_dir.end());
    EXPECT_EQ(args, expected);
    Args split = split_command_line(build_command_line(program, args));
    ASSERT_EQ(split.size(), args.size() + 1) << test::narrow(c.dir);
    EXPECT_EQ(split[0], program);
    EXPECT_EQ(find_cleanup(split).arguments, Args(expected.begin() + 1, expected.end()));
  }
}

// A first process that waits ends with 0 only on the copy's report that everything went; a
// report of leftovers, a copy that ended without a report and the bound give 1, and the last two
// leave a line in the setup log (the copy's own outcome line names leftovers).
TEST(CleanupReport, TheWaitEndsOnTheReportTheCopysEndOrTheBound) {
  const std::wstring temp = test::scratch_dir();
  test::ScopedEnvironmentVariable tmp(L"TMP", temp);
  test::ScopedEnvironmentVariable temp_variable(L"TEMP", temp);
  test::StartedProcess ended = test::spawn(test::built_exe(L"argv_echo.exe"), {});
  ASSERT_TRUE(ended.ends_within(10000));
  struct Case {
    const char* name;
    std::optional<bool> reported;  // all removed, or something left; nullopt: no report
    HANDLE copy;
    CleanupEnding ending;
    int exit_code;
    std::vector<std::string> log;
  };
  const Case cases[] = {
      {"all removed", true, ::GetCurrentProcess(), CleanupEnding::kAllRemoved, 0, {}},
      {"left over", false, ::GetCurrentProcess(), CleanupEnding::kLeftOver, 1, {}},
      // Reported, and ended since: the report counts.
      {"reported, then ended", true, ended.get(), CleanupEnding::kAllRemoved, 0, {}},
      {"ended unreported",
       std::nullopt,
       ended.get(),
       CleanupEnding::kUnreported,
       1,
       {"清理程序没有报告结果就已退出"}},
      {"no report within the bound",
       std::nullopt,
       ::GetCurrentProcess(),
       CleanupEnding::kTimedOut,
       1,
       {"等待清理程序超时，卸载可能尚未完成"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::DeleteFileW((temp + L"\\tavrio_setup.log").c_str());
    const CleanupReport report;
    ASSERT_TRUE(report.ok()) << error_text(report.error());
    if (c.reported) report_to_first_process(::GetCurrentProcessId(), *c.reported);
    const CleanupEnding ending = report.wait(c.copy, 300);
    EXPECT_EQ(ending, c.ending);
    EXPECT_EQ(exit_code_after(ending, report), c.exit_code);
    EXPECT_EQ(test::log_messages(temp + L"\\tavrio_setup.log"), c.log);
  }
  // Another process's events are not this one's: a report to it changes nothing here.
  const CleanupReport report;
  report_to_first_process(::GetCurrentProcessId() + 4, true);
  EXPECT_EQ(report.wait(::GetCurrentProcess(), 100), CleanupEnding::kTimedOut);
}

// The temporary folder as find_temp_folder finds it; nullopt when it is unknown.
std::optional<std::wstring> temp_folder() {
  std::wstring folder;
  if (!find_temp_folder(&folder).ok()) return std::nullopt;
  return folder;
}

// With no temporary folder nothing may land in the current folder: no setup log and no copy of
// the uninstaller, and the start fails with the copy step's prefix.
TEST(CleanupCopy, NoTemporaryFolderMeansNoCopyAndNoLog) {
  const std::wstring work = test::scratch_dir();
  const std::wstring too_long = work + L"\\" + std::wstring(300, L't');
  {
    const test::ScopedCurrentDirectory in_work(work);
    ASSERT_TRUE(in_work.ok());
    test::ScopedEnvironmentVariable tmp(L"TMP", too_long);
    test::ScopedEnvironmentVariable temp(L"TEMP", too_long);
    if (test::system_gives_temp_folder()) {
      GTEST_SKIP() << "this system gives a temporary folder even for a TMP of " << too_long.size()
                   << " characters";
    }
    std::wstring folder;
    Status status = find_temp_folder(&folder);
    EXPECT_FALSE(status.ok()) << test::narrow(folder);
    EXPECT_EQ(temp_folder(), std::nullopt);
    append_setup_log("should be dropped");
    // Only reached when the temporary folder is unknown, so this never starts a test copy.
    const CleanupCopyResult copy_failure = start_cleanup_copy(work, {.keep_local_data = true});
    std::optional<std::string> failure;
    if (!copy_failure.ok()) failure = failure_text(copy_failure);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->rfind(kCopyCleanupFailed, 0), 0u) << *failure;
    EXPECT_NE(failure->find("(os error " + std::to_string(status.code()) + ")"), std::string::npos)
        << *failure;
  }
  EXPECT_EQ(test::list_tree(work), std::vector<std::wstring>{});
}

}  // namespace
}  // namespace tavrio::uninstall
