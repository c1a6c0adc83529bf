// The cleanup copy end to end: how the install directory travels to it, the copy in the
// temporary folder (stale, still running or inside the installation), and the cleanup run's
// reading of its mode word and process id, its own guard and its outcome line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>

#include "common/handles.h"
#include "common/os_error.h"
#include "support/mapped_drive.h"
#include "uninstall_e2e.h"

namespace tavrio::test {
namespace {

using Args = std::vector<std::wstring>;
using Names = std::vector<std::wstring>;
using Lines = std::vector<std::string>;

// Spaces, Chinese characters and a trailing backslash survive the command line: the copy
// empties exactly that folder, and all mode names it as it arrived.
TEST(CleanupCopy, InstallDirectoryArrivesUnchanged) {
  for (const bool all : {false, true}) {
    Uninstall u = make_uninstall(L"Tavrio 安装 目录");
    Args args = {L"--silent", L"--dir", u.install + L"\\"};
    if (all) args.push_back(L"--delete-data");
    RunResult r = run(u.uninstaller(), args, u.options());
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(wait_for_outcome(u),
              (Lines{kScheduledLine, all ? others_kept_outcome(u.install + L"\\") : kKeepOutcome}));
    EXPECT_EQ(names_in(u.install), Names{L"taskkill.exe"});
  }
}

TEST(CleanupCopy, StaleCopyIsReplaced) {
  Uninstall u = make_uninstall();
  write_file(u.cleanup_copy(), "left by an earlier uninstall");
  RunResult r = run(u.uninstaller(), {L"--silent", L"--delete-data"}, u.options());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, others_kept_outcome(u.install)}));
  EXPECT_EQ(names_in(u.install), Names{L"taskkill.exe"});
  EXPECT_TRUE(files_equal(u.cleanup_copy(), built_exe(L"uninstall.exe")));
}

// A cleanup copy of another uninstall that is still running cannot be overwritten: the start
// fails at the copy step, nothing is started and nothing is deleted.
TEST(CleanupCopy, RunningCopyMakesTheStartFail) {
  Uninstall u = make_uninstall();
  ASSERT_TRUE(::CopyFileW(built_exe(L"standin_app.exe").c_str(), u.cleanup_copy().c_str(), FALSE));
  const std::wstring record = u.root + L"\\starts.txt";
  RunOptions options = u.options();
  options.environment[L"STANDIN_RECORD"] = record;
  StartedProcess running = spawn(u.cleanup_copy(), {L"--run-seconds", L"-1"}, options);
  ASSERT_TRUE(running.valid());
  ASSERT_TRUE(wait_until([&] { return path_exists(record); }, 10000));

  options.wait_for_descendants = true;
  RunResult r = run(u.uninstaller(), {L"--silent", L"--delete-data"}, options);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0u);
  running.end_now();

  Lines log = log_messages(u.setup_log());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("启动清理程序失败：复制清理程序失败：", 0), 0u) << log[0];
  EXPECT_NE(log[0].find(" (os error "), std::string::npos) << log[0];
  int starts = 0;
  for (const std::string& line : read_lines(record)) starts += line.rfind("start ", 0) == 0;
  EXPECT_EQ(starts, 1) << "the locked copy was started again";
  EXPECT_EQ(names_in(u.install), kSampleInstallNames);
  EXPECT_TRUE(path_exists(u.local_data() + L"\\config.json"));
}

// The cleanup run started directly: only the exact word "all" deletes the local data, and an
// unusable or finished process id waits for nothing (a run that waited would take 12.4 s), also
// when someone still holds the finished process open, as a launcher waiting on it does.
TEST(CleanupRun, ModeWordAndProcessIdWithoutALiveProcess) {
  DWORD ended_pid = 0;
  {
    Uninstall probe = make_uninstall();
    RunResult ended = run(built_exe(L"argv_echo.exe"), {}, probe.options());
    ASSERT_TRUE(ended.finished);
    ended_pid = ended.pid;
  }
  StartedProcess held = spawn(built_exe(L"argv_echo.exe"), {});
  ASSERT_TRUE(held.ends_within(10000));
  struct Case {
    std::wstring word, pid;
    bool all;
  };
  const Case cases[] = {
      {L"all", L"abc", true},
      {L"ALL", L"0", false},
      {L"All", L"-5", false},
      {L"keep", L"4294967296", false},
      {L"whatever", L"", false},
      {L"all", std::to_wstring(ended_pid), true},
      {L"keep", std::to_wstring(held.pid()), false},
  };
  Uninstall u = make_uninstall();
  const std::wstring runner = outside_runner(u);
  for (const Case& c : cases) {
    const std::string name = narrow(c.word + L" " + c.pid);
    remove_all(u.install);
    make_install(u.install);
    write_file(u.local_data() + L"\\config.json", "{}");
    ::DeleteFileW(u.setup_log().c_str());
    RunOptions options = u.options();
    options.timeout_ms = 8000;
    RunResult r = run(runner, {L"--cleanup", u.install, c.word, c.pid}, options);
    ASSERT_TRUE(r.finished) << name << ": still waiting after 8 s";
    EXPECT_EQ(r.exit_code, 0u) << name;
    EXPECT_EQ(log_messages(u.setup_log()),
              Lines{c.all ? others_kept_outcome(u.install) : kKeepOutcome})
        << name;
    EXPECT_EQ(names_in(u.install), Names{L"taskkill.exe"}) << name;
    EXPECT_EQ(path_exists(u.local_data()), !c.all) << name;
  }
}

// "+<pid>" waits for that process: nothing is deleted while it runs, everything soon after.
TEST(CleanupRun, WaitsForALiveFirstProcess) {
  Uninstall u = make_uninstall();
  RunOptions options = u.options();
  options.environment[L"STANDIN_RECORD"] = u.root + L"\\standin.txt";
  StartedProcess first = spawn(built_exe(L"standin_app.exe"), {L"--run-seconds", L"-1"}, options);
  ASSERT_TRUE(first.valid());
  const std::wstring pid = L"+" + std::to_wstring(first.pid());
  StartedProcess cleanup =
      spawn(outside_runner(u), {L"--cleanup", u.install, L"all", pid}, u.options());
  ASSERT_TRUE(cleanup.valid());

  EXPECT_EQ(::WaitForSingleObject(cleanup.get(), 2500), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(path_exists(u.install + L"\\Tavrio.exe"));
  EXPECT_FALSE(path_exists(u.setup_log()));

  // Ended, and its handle closed: an open handle keeps the ended process visible to OpenProcess.
  first = StartedProcess();
  EXPECT_EQ(::WaitForSingleObject(cleanup.get(), 8000), WAIT_OBJECT_0);
  EXPECT_EQ(log_messages(u.setup_log()), Lines{others_kept_outcome(u.install)});
  EXPECT_EQ(names_in(u.install), Names{L"taskkill.exe"});
}

// A temporary folder inside the installation, however it is spelled, counts as none: the copy
// would delete the folder it runs from. The start fails as without a temporary folder and
// nothing is deleted.
TEST(CleanupCopy, ATemporaryFolderInsideTheInstallationIsNotUsed) {
  struct Case {
    const char* name;
    std::function<std::wstring(const Uninstall&)> temp;
  };
  const Case cases[] = {
      {"a folder inside", [](const Uninstall& u) { return u.install + L"\\temp"; }},
      {"the install folder itself", [](const Uninstall& u) { return u.install; }},
      {"a folder inside, by its 8.3 name",
       [](const Uninstall& u) {
         wchar_t short_path[MAX_PATH];
         DWORD n = ::GetShortPathNameW(u.install.c_str(), short_path, MAX_PATH);
         return n > 0 && n < MAX_PATH ? std::wstring(short_path, n) + L"\\temp" : std::wstring();
       }},
  };
  for (const Case& c : cases) {
    Uninstall u = make_uninstall(L"Tavrio 安装");
    make_dirs(u.install + L"\\temp");
    const std::wstring temp = c.temp(u);
    RunOptions options = u.options();
    options.environment[L"TMP"] = temp;
    options.environment[L"TEMP"] = temp;
    RunResult r = run(u.uninstaller(), {L"--silent", L"--delete-data"}, options);
    ASSERT_TRUE(r.finished) << c.name;
    EXPECT_EQ(
        log_messages(temp + L"\\tavrio_setup.log"),
        Lines{"启动清理程序失败：复制清理程序失败：" + error_text(OsError{ERROR_PATH_NOT_FOUND})})
        << c.name;
    EXPECT_FALSE(path_exists(temp + L"\\tavrio-uninstall-cleanup.exe")) << c.name;
    Names expected = kSampleInstallNames;
    expected.push_back(L"temp");
    if (temp == u.install) expected.push_back(L"tavrio_setup.log");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(u.install), expected) << c.name;
    EXPECT_TRUE(path_exists(u.local_data() + L"\\config.json")) << c.name;
  }
}

// The cleanup run checks what it is about to delete, as the first process does: not a volume's
// root, and Tavrio.exe inside. A refused folder is left exactly as it was.
TEST(CleanupRun, DeletesNothingInAFolderThatIsNoInstallation) {
  Uninstall u = make_uninstall();
  const std::wstring runner = outside_runner(u);
  write_file(u.root + L"\\volume\\Tavrio.exe", "not at a volume's root");
  write_file(u.root + L"\\volume\\canary.txt", "beside");
  MappedDrive drive(L'R', u.root + L"\\volume");
  struct Case {
    const char* name;
    std::wstring argument, current_directory, shown;
  };
  const Case cases[] = {
      {"the folder above the installation", u.root, {}, u.root},
      {"\"..\" from inside the installation", L"..", u.install, u.root},
      {"the root of a volume", drive.root(), {}, drive.root()},
  };
  for (const Case& c : cases) {
    if (c.argument.empty()) {
      std::cout << "[  SKIPPED ] " << c.name << ": " << drive.why_not() << "\n";
      continue;
    }
    ::DeleteFileW(u.setup_log().c_str());
    const Names before = list_tree(u.root);
    RunResult r =
        run(runner, {L"--cleanup", c.argument, L"all", L"0"}, u.options(c.current_directory));
    ASSERT_TRUE(r.finished) << c.name;
    EXPECT_EQ(log_messages(u.setup_log()),
              Lines{"这个目录里没有 Tavrio.exe，未做任何删除：" + narrow(c.shown)})
        << c.name;
    Names after = list_tree(u.root);
    std::erase(after, L"temp\\tavrio_setup.log");
    EXPECT_EQ(after, before) << c.name;
  }
  // What a run cut off between its last two deletions leaves, the main program alone, passes:
  // it goes, and the folder with it. The uninstaller alone (or among the user's files) does not.
  for (const bool main_program_left : {true, false}) {
    SCOPED_TRACE(main_program_left ? "Tavrio.exe alone" : "卸载.exe alone");
    ::DeleteFileW(u.setup_log().c_str());
    remove_all(u.install);
    write_file(u.install + (main_program_left ? L"\\Tavrio.exe" : L"\\卸载.exe"), "left");
    ASSERT_TRUE(run(runner, {L"--cleanup", u.install, L"all", L"0"}, u.options()).finished);
    EXPECT_EQ(
        log_messages(u.setup_log()),
        Lines{main_program_left ? std::string(kAllOutcome)
                                : "这个目录里没有 Tavrio.exe，未做任何删除：" + narrow(u.install)});
    EXPECT_EQ(path_exists(u.install), !main_program_left);
  }
}

// An entry held open stays; the outcome line then names it and why, instead of claiming that
// everything went. The uninstaller under both names and the main program stay with it, so that
// the folder can still be uninstalled.
TEST(CleanupRun, AnEntryThatStaysIsNamedInPlaceOfTheOutcome) {
  for (const wchar_t* mode : {L"keep", L"all"}) {
    SCOPED_TRACE(narrow(mode));
    Uninstall u = make_uninstall();
    const std::wstring runner = outside_runner(u);
    StartedProcess holder =
        spawn(built_exe(L"hold_open.exe"),
              {L"file", u.install + L"\\_internal\\python312.dll", L"30000", u.root + L"\\held"});
    ASSERT_TRUE(wait_until([&] { return path_exists(u.root + L"\\held"); }, 10000));
    RunResult r = run(runner, {L"--cleanup", u.install, mode, L"0"}, u.options());
    holder.end_now();
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(log_messages(u.setup_log()),
              Lines{kIncompleteOutcome + narrow(u.install + L"\\_internal") + "：" +
                    error_text(OsError{ERROR_SHARING_VIOLATION})});
    EXPECT_EQ(names_in(u.install),
              (Names{L"Tavrio.exe", L"_internal", L"taskkill.exe", L"uninstall.exe", L"卸载.exe"}));
    EXPECT_EQ(path_exists(u.local_data()), std::wstring(mode) != L"all");
  }
}

// With --wait the first process ends only once the copy has deleted all but the uninstaller,
// the main program and the folder, with 0 when everything went. With a file held open it ends
// with 1, the setup log naming what stayed, and the uninstaller left there finishes the job
// once the file is let go.
TEST(WaitingUninstall, TheExitCodeTellsWhetherEverythingWent) {
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "--delete-data" : "keep");
    Uninstall u = make_uninstall();
    Args args = {L"--silent", L"--wait"};
    if (all) args.push_back(L"--delete-data");
    const std::wstring held = u.install + L"\\_internal\\python312.dll";
    StartedProcess holder =
        spawn(built_exe(L"hold_open.exe"), {L"file", held, L"60000", u.root + L"\\held"});
    ASSERT_TRUE(wait_until([&] { return path_exists(u.root + L"\\held"); }, 10000));

    StartedProcess first = spawn(u.uninstaller(), args, u.options());
    ASSERT_TRUE(first.ends_within(30000));
    EXPECT_EQ(first.exit_code(), 1u);
    // What the copy reported is final by then: nothing more is deleted after a leftover.
    EXPECT_EQ(log_messages(u.setup_log()),
              (Lines{kScheduledLine, kIncompleteOutcome + narrow(u.install + L"\\_internal") +
                                         "：" + error_text(OsError{ERROR_SHARING_VIOLATION})}));
    EXPECT_EQ(names_in(u.install),
              (Names{L"Tavrio.exe", L"_internal", L"taskkill.exe", L"uninstall.exe", L"卸载.exe"}));
    EXPECT_EQ(list_tree(u.install + L"\\_internal"), Names{L"python312.dll"});
    EXPECT_EQ(path_exists(u.local_data()), !all);
    ASSERT_TRUE(first.family_ended_within(30000)) << "the copy still runs";

    holder.end_now();
    ::DeleteFileW(u.setup_log().c_str());
    StartedProcess second = spawn(u.uninstaller(), args, u.options());
    ASSERT_TRUE(second.ends_within(30000));
    EXPECT_EQ(second.exit_code(), 0u);
    // Gone by the time it ended: all but what only its end lets go.
    for (const std::wstring& name : names_in(u.install)) {
      EXPECT_TRUE(name == L"Tavrio.exe" || name == L"taskkill.exe" || name == L"uninstall.exe" ||
                  name == L"卸载.exe")
          << "still there when the first process ended: " << narrow(name);
    }
    EXPECT_EQ(path_exists(u.local_data()), !all);
    ASSERT_TRUE(second.family_ended_within(30000)) << "the copy still runs";
    EXPECT_EQ(log_messages(u.setup_log()),
              (Lines{kScheduledLine, all ? others_kept_outcome(u.install) : kKeepOutcome}));
    EXPECT_EQ(names_in(u.install), Names{L"taskkill.exe"});
  }
}

}  // namespace
}  // namespace tavrio::test
