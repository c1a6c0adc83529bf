// The wait for the application: which process is the application, the polls and the forced end,
// with the pause and the process waits injected.
#include <gtest/gtest.h>

#include <windows.h>

#include <iostream>

#include "support/mapped_drive.h"
#include "wait_for_exit.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

StartedProcess spawn_standin(const std::wstring& dir, const Args& arguments) {
  RunOptions options;
  options.environment[L"STANDIN_RECORD"] = dir + L"\\record.txt";
  return spawn(built_exe(L"standin_app.exe"), arguments, options);
}

FILETIME creation_of(HANDLE process) {
  FILETIME created{}, unused[3];
  EXPECT_TRUE(::GetProcessTimes(process, &created, &unused[0], &unused[1], &unused[2]));
  return created;
}

FILETIME plus_ms(FILETIME time, int ms) {
  ULARGE_INTEGER value{{time.dwLowDateTime, time.dwHighDateTime}};
  value.QuadPart += static_cast<LONGLONG>(ms) * 10000;
  return {value.LowPart, value.HighPart};
}

// The wait as a run does it: the process opened as the application (here the built stand-in,
// older than "the updater", which this test is), then waited on.
void wait_as_a_run(DWORD pid, Paused& p) {
  UniqueProcess application =
      updater::open_application(pid, built_exe(L"standin_app.exe"), filetime_now());
  updater::wait_for_exit(application.get(), p.log, p.pause(), p.process_wait());
}

TEST(WaitForExit, EndsARunningApplicationAfterEightyPolls) {
  Paused p;
  StartedProcess app(spawn_standin(p.dir, {L"--run-seconds", L"-1"}));
  ASSERT_TRUE(app.valid());
  wait_as_a_run(app.pid(), p);
  EXPECT_EQ(p.process_waits, std::vector<unsigned>(80, 500));
  EXPECT_EQ(p.pauses, std::vector<unsigned>{800});
  EXPECT_EQ(log_messages(p.log.path()), (Lines{"主程序没有按时退出，强制结束", kExited}));
  ASSERT_TRUE(app.ended_within(5000));
  EXPECT_EQ(app.exit_code(), 1u);
}

TEST(WaitForExit, DoesNotWaitForNoProcessOrAnEndedOne) {
  const std::wstring dir = scratch_dir();
  StartedProcess ended(spawn_standin(dir, {}));
  ASSERT_TRUE(ended.ended_within(10000));
  // The ended process's id stays valid while we hold its handle: the wait opens it and finds it
  // signalled at the first poll.
  for (DWORD pid : {DWORD{0}, ended.pid(), DWORD{0xFFFFFFF0}}) {
    Paused p;  // a fresh log for each
    wait_as_a_run(pid, p);
    EXPECT_TRUE(p.pauses.empty()) << pid;
    EXPECT_EQ(p.process_waits.size(), pid == ended.pid() ? 1u : 0u) << pid;
    EXPECT_EQ(log_messages(p.log.path()), Lines{kExited}) << pid;
  }
}

// A process id names the application only as long as it is held; behind an id the updater opens
// late there may be any program. Only a process of the installed executable that is older than
// the updater counts, also where the executable's path is spelled another way than the image's
// (a short name, a drive letter mapped onto its folder); anything else is left alone.
TEST(WaitForExit, OnlyAnOlderProcessOfTheInstalledExecutableIsTheApplication) {
  // A copy of its own, so that the drive letter mapped onto its folder changes nothing that
  // other tests see (Wine takes volume serials from the drive letter a folder is found under).
  const std::wstring dir = scratch_dir() + L"\\installed";
  const std::wstring exe = dir + L"\\standin_app.exe";
  write_file(exe, read_file(built_exe(L"standin_app.exe")));
  MappedDrive drive(L'Q', dir);
  StartedProcess app(spawn(exe, {L"--run-seconds", L"-1"}));
  ASSERT_TRUE(app.valid());
  const FILETIME created = creation_of(app.get());
  const FILETIME later = plus_ms(created, 1);
  struct Case {
    const char* name;
    std::wstring exe;  // empty: this system cannot spell it so
    FILETIME updater_created;
    bool is_application;
  };
  const Case cases[] = {
      {"the same path", exe, later, true},
      {"its short name", short_name(exe), later, true},
      {"a drive letter mapped onto its folder",
       drive.mapped() ? drive.root() + L"standin_app.exe" : L"", later, true},
      {"another program's image", built_exe(L"hold_open.exe"), later, false},
      {"created with the updater", exe, created, false},
      {"created after the updater", exe, plus_ms(created, -1), false},
  };
  for (const Case& c : cases) {
    if (c.exe.empty()) {
      std::cout << "[  SKIPPED ] " << c.name << ": not a spelling this system has\n";
      continue;
    }
    EXPECT_EQ(updater::is_the_application(app.get(), c.exe, c.updater_created), c.is_application)
        << c.name << ": " << narrow(c.exe);
  }
  // Opened by its id, it is held only when it is the application.
  EXPECT_FALSE(updater::open_application(app.pid(), exe, created).valid());
  UniqueProcess held = updater::open_application(app.pid(), exe, later);
  ASSERT_TRUE(held.valid());
  EXPECT_EQ(::GetProcessId(held.get()), app.pid());
  EXPECT_FALSE(app.ended_within(0)) << "looking at a process must not end it";
}

}  // namespace
}  // namespace tavrio::test
