// The cleanup copy end to end: how the install directory travels to it, the copy in the
// temporary folder (stale or still running), and the cleanup run's reading of its mode word
// and process id.
#include <gtest/gtest.h>

#include "common/handles.h"
#include "uninstall_e2e.h"

namespace tavrio::test {
namespace {

using Args = std::vector<std::wstring>;
using Names = std::vector<std::wstring>;
using Lines = std::vector<std::string>;

// Spaces, Chinese characters and a trailing backslash survive the command line: the copy
// empties exactly that folder.
TEST(CleanupCopy, InstallDirectoryArrivesUnchanged) {
  struct Case {
    bool all;
    const char* outcome;
  };
  for (const Case& c : {Case{false, kKeepOutcome}, Case{true, kAllOutcome}}) {
    Uninstall u = make_uninstall(L"Tavrio 安装 目录");
    Args args = {L"--silent", L"--dir", u.install + L"\\"};
    if (c.all) args.push_back(L"--delete-data");
    RunResult r = run(u.uninstaller(), args, u.options());
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, c.outcome}));
    if (c.all) {
      EXPECT_FALSE(path_exists(u.install));
    } else {
      EXPECT_EQ(names_in(u.install), Names{L"taskkill.exe"});
    }
  }
}

TEST(CleanupCopy, StaleCopyIsReplaced) {
  Uninstall u = make_uninstall();
  write_file(u.cleanup_copy(), "left by an earlier uninstall");
  RunResult r = run(u.uninstaller(), {L"--silent", L"--delete-data"}, u.options());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, kAllOutcome}));
  EXPECT_FALSE(path_exists(u.install));
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
// unusable or finished process id waits for nothing (a run that waited would take 12.4 s).
TEST(CleanupRun, ModeWordAndProcessIdWithoutALiveProcess) {
  DWORD ended_pid = 0;
  {
    Uninstall probe = make_uninstall();
    RunResult ended = run(built_exe(L"argv_echo.exe"), {}, probe.options());
    ASSERT_TRUE(ended.finished);
    ended_pid = ended.pid;
  }
  struct Case {
    std::wstring word, pid;
    bool all;
  };
  const Case cases[] = {
      {L"all", L"abc", true},    {L"ALL", L"0", false},
      {L"All", L"-5", false},    {L"keep", L"4294967296", false},
      {L"whatever", L"", false}, {L"all", std::to_wstring(ended_pid), true},
  };
  Uninstall u = make_uninstall();
  const std::wstring runner = u.root + L"\\runner.exe";
  ASSERT_TRUE(::CopyFileW(built_exe(L"uninstall.exe").c_str(), runner.c_str(), FALSE));
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
    EXPECT_EQ(log_messages(u.setup_log()), Lines{c.all ? kAllOutcome : kKeepOutcome}) << name;
    EXPECT_EQ(path_exists(u.install), !c.all) << name;
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
  const std::wstring runner = u.root + L"\\runner.exe";
  ASSERT_TRUE(::CopyFileW(built_exe(L"uninstall.exe").c_str(), runner.c_str(), FALSE));
  StartedProcess cleanup = spawn(runner, {L"--cleanup", u.install, L"all", pid}, u.options());
  ASSERT_TRUE(cleanup.valid());

  EXPECT_EQ(::WaitForSingleObject(cleanup.get(), 2500), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(path_exists(u.install + L"\\Tavrio.exe"));
  EXPECT_FALSE(path_exists(u.setup_log()));

  // Ended, and its handle closed: an open handle keeps the ended process visible to OpenProcess.
  first = StartedProcess();
  EXPECT_EQ(::WaitForSingleObject(cleanup.get(), 8000), WAIT_OBJECT_0);
  EXPECT_EQ(log_messages(u.setup_log()), Lines{kAllOutcome});
  EXPECT_FALSE(path_exists(u.install));
}

}  // namespace
}  // namespace tavrio::test
