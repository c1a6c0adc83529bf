// The updater: its modules on their own (request, placement check, report, backup retries and
// the wait with the pause injected), and the real tavrio-updater.exe on scratch installations.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <iostream>
#include <thread>

#include "common/handles.h"
#include "common/os_error.h"
#include "common/file_name.h"
#include "common/path.h"
#include "cleanup.h"
#include "ending.h"
#include "kept.h"
#include "restart.h"
#include "journal.h"
#include "layout.h"
#include "messages.h"
#include "plan.h"
#include "request.h"
#include "swap.h"
#include "support/mapped_drive.h"
#include "update_lock.h"
#include "update_sequence.h"
#include "updater_fixture.h"
#include "wait_for_exit.h"

namespace tavrio::test {
namespace {

// The text a step's failure ends the update with; "" when the step went through.
std::string reason_of(const updater::UpdateResult& result) {
  return result.ok() ? std::string() : updater::failure_reason(result);
}

// One step of the plan by itself, on the layout of a request made full paths as the update makes
// it, with its attempts logged to `log` and its pauses given to `pause`.
updater::UpdateResult run_step(
    std::string_view name, const updater::UpdateRequest& request,
    const updater::UpdateLog& log = updater::UpdateLog(L""),
    const updater::Pause& pause = [](unsigned) {}) {
  const updater::Layout layout = updater::layout_of(updater::with_absolute_paths(request));
  updater::UpdatePlan plan(layout, log, pause, /*install_locked=*/true);
  return plan.run_one(name);
}

using updater::UpdateLog;
using namespace std::string_literals;
using Lines = std::vector<std::string>;
using Args = std::vector<std::wstring>;
using Tree = std::vector<std::wstring>;

const std::string kRollingBack = "替换失败，回滚中：";

TEST(UpdateRequest, ReadsPairsExactlyAndEndsWithoutARequiredValue) {
  struct Case {
    const char* name;
    Args arguments;  // after the program path
    bool runs;
    std::uint32_t pid;
    std::wstring app;
    std::optional<std::wstring> ready = std::nullopt;
  };
  auto with = [](Args front, Args back = {}) {
    front.insert(front.end(), {L"--exe", L"Tavrio.exe", L"--stage", L"S", L"--log", L"L"});
    front.insert(front.end(), back.begin(), back.end());
    return front;
  };
  const Case cases[] = {
      {"plain", with({L"--pid", L"42", L"--app", L"A"}), true, 42, L"A"},
      {"app twice: the last wins", with({L"--app", L"A1", L"--app", L"A2"}), true, 0, L"A2"},
      {"capital key not recognised", with({L"--PID", L"42", L"--app", L"A"}), true, 0, L"A"},
      {"plus sign", with({L"--pid", L"+123", L"--app", L"A"}), true, 123, L"A"},
      {"largest id", with({L"--pid", L"4294967295", L"--app", L"A"}), true, 4294967295u, L"A"},
      {"too large", with({L"--pid", L"4294967296", L"--app", L"A"}), true, 0, L"A"},
      {"negative", with({L"--pid", L"-1", L"--app", L"A"}), true, 0, L"A"},
      {"not digits", with({L"--pid", L"12a", L"--app", L"A"}), true, 0, L"A"},
      {"lone plus", with({L"--pid", L"+", L"--app", L"A"}), true, 0, L"A"},
      {"empty id", with({L"--pid", L"", L"--app", L"A"}), true, 0, L"A"},
      {"invalid later id resets", with({L"--pid", L"7", L"--pid", L"x", L"--app", L"A"}), true, 0,
       L"A"},
      {"value taken literally", with({L"--app", L"--exe"}), true, 0, L"--exe"},
      {"unknown key skips its value", with({L"--x", L"--app", L"--app", L"A"}), true, 0, L"A"},
      {"trailing key ignored", with({L"--app", L"A"}, {L"--pid"}), true, 0, L"A"},
      {"no arguments", {}, false, 0, L""},
      {"stage missing", {L"--app", L"A", L"--exe", L"E", L"--log", L"L"}, false, 0, L""},
      {"empty exe", {L"--app", L"A", L"--exe", L"", L"--stage", L"S"}, false, 0, L""},
      {"shifted pairs", with({L"--silent", L"--pid", L"42", L"--app", L"A"}), false, 0, L""},
      {"ready event", with({L"--ready", L"Local\\r-1", L"--app", L"A"}), true, 0, L"A",
       L"Local\\r-1"},
      {"empty ready event is given", with({L"--app", L"A"}, {L"--ready", L""}), true, 0, L"A", L""},
      {"ready without a name is ignored", with({L"--app", L"A"}, {L"--ready"}), true, 0, L"A"},
  };
  for (const Case& c : cases) {
    Args arguments = c.arguments;
    arguments.insert(arguments.begin(), L"tavrio-updater.exe");
    std::optional<updater::UpdateRequest> r = updater::read_update_request(arguments);
    ASSERT_EQ(r.has_value(), c.runs) << c.name;
    if (!r) continue;
    EXPECT_EQ(std::tie(r->process_id, r->install_dir, r->exe_name, r->staging_dir, r->log_path),
              std::tuple(c.pid, c.app, L"Tavrio.exe"s, L"S"s, L"L"s))
        << c.name;
    EXPECT_EQ(r->ready_event, c.ready) << c.name;
  }
}

TEST(UpdateRequest, DerivesTheFivePathsByJoining) {
  updater::Layout paths = updater::layout_of({0, L"D:\\Apps\\", L"Tavrio.exe", L"E:", L""});
  EXPECT_EQ(paths.installed_exe, L"D:\\Apps\\Tavrio.exe");
  EXPECT_EQ(paths.program_folder, L"D:\\Apps\\_internal");
  EXPECT_EQ(paths.backup_folder, L"D:\\Apps\\_internal_old");
  EXPECT_EQ(paths.staged_program_folder, L"E:_internal");
  EXPECT_EQ(paths.staged_exe, L"E:Tavrio.exe");
}

// The 8.3 short name of an existing path; empty where the volume keeps no short names.
std::wstring short_name(const std::wstring& path) {
  wchar_t buffer[MAX_PATH];
  DWORD n = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || std::wstring(buffer, n) == path) return {};
  return std::wstring(buffer, n);
}

// The placement check on real folders, the way the sequence calls it (paths made full first).
TEST(StagingPlacement, RefusesOnlyAStagingFolderThatHoldsTheInstallation) {
  const std::wstring dir = scratch_dir();
  const std::wstring app = dir + L"\\app";
  for (const wchar_t* folder :
       {L"\\app\\_internal\\next", L"\\app\\staging", L"\\app-2", L"\\application", L"\\stage"}) {
    make_dirs(dir + folder);
  }
  auto refusal = [&](const std::wstring& stage, const std::wstring& install) {
    return run_step("staging placement", {0, install, L"Tavrio.exe", stage, L""});
  };
  std::wstring upper_slashed = app + L"/";
  for (wchar_t& c : upper_slashed) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
  struct Case {
    std::wstring stage;
    bool refused;
  };
  const Case cases[] = {
      {app, true},
      {upper_slashed, true},
      {app + L"\\\\", true},
      {dir, true},
      {app + L"\\_internal\\..", true},
      {L"\\\\?\\" + dir, true},
      {app + L"\\_internal\\", true},
      {app + L"\\_internal\\next", false},
      {app + L"\\staging", false},
      {dir + L"\\app-2", false},
      {dir + L"\\application", false},
      {dir + L"\\stage", false},
      {dir + L"\\missing", false},  // cannot be opened: the package check fails instead
  };
  for (const Case& c : cases) {
    EXPECT_EQ(!refusal(c.stage, app).ok(), c.refused) << narrow(c.stage);
  }
  // The refusal names the staging folder by its full path.
  EXPECT_EQ(reason_of(refusal(upper_slashed, app)),
            "暂存目录包含安装目录，拒绝更新：" + narrow(full_path(upper_slashed)));
  // Nothing can be proven about an install folder that cannot be opened: every stage is refused.
  EXPECT_FALSE(refusal(dir + L"\\stage", dir + L"\\missing").ok());
}

TEST(ExeName, OnlyAPlainFileNameIsAccepted) {
  for (const wchar_t* name : {L"Tavrio.exe", L"Tavrio 2.exe", L"说明.exe", L"a..b", L".hidden",
                              L"CONSOLE.exe", L"nul1", L"COM10.exe", L"x.nul"}) {
    EXPECT_TRUE(is_plain_file_name(name)) << narrow(name);
  }
  const std::wstring refused[] = {
      L"..\\..\\canary\\a.txt",
      L"..\\canary_above.txt",
      L"sub/Tavrio.exe",
      L"C:Tavrio.exe",
      L"C:\\Tavrio.exe",
      L"\\\\server\\share\\a.exe",
      L".",
      L"..",
      L"Tavrio.exe.",
      L"Tavrio.exe ",
      L"Tavrio.exe:stream",
      L"Tav*.exe",
      L"a\x01.exe",
      L"CON",
      L"nul.exe",
      L"Com1.exe",
      L"LPT9",
      L"aux .txt",
      L"CONIN$",
      L"COM\u00B9",
      std::wstring(256, L'a'),
  };
  for (const std::wstring& name : refused) {
    EXPECT_FALSE(is_plain_file_name(name)) << narrow(name);
  }
  EXPECT_TRUE(is_plain_file_name(std::wstring(251, L'a') + L".exe"));
  EXPECT_EQ(reason_of(run_step("executable name", {0, L"A", L"..\\x.exe", L"S", L""})),
            "主程序名无效，拒绝更新：..\\x.exe");
}

TEST(FailureReport, IsFourLinesWithoutALineEndAfterTheLast) {
  const std::string head = "更新失败，已保留原版本。\n时间：01:02:03\n原因：";
  EXPECT_EQ(updater::failure_report_text("01:02:03", "原因X", L"C:\\logs\\u.log"),
            head + "原因X\n详细日志：C:\\logs\\u.log");
  EXPECT_EQ(updater::failure_report_text("01:02:03", "r", L""), head + "r\n详细日志：");
  // A lone surrogate in the log path shows as U+FFFD.
  EXPECT_EQ(updater::failure_report_text("01:02:03", "r", std::wstring(L"a\xD800")),
            head + "r\n详细日志：a\xEF\xBF\xBD");
}

TEST(FailureReport, ReplacesTheContentOfAnEarlierLongerReport) {
  const std::wstring path = scratch_dir() + L"\\update_failed.txt";
  write_file(path, std::string(5000, 'x'));
  updater::write_failure_report(path, "short");
  EXPECT_EQ(read_file(path), "short");
}

// A fresh scratch folder with an update log, and the pauses and process waits the code under
// test asked for in place of sleeping (a process wait only tests the handle).
struct Paused {
  std::wstring dir = scratch_dir();
  UpdateLog log{dir + L"\\update.log"};
  std::vector<unsigned> pauses;
  std::vector<unsigned> process_waits;
  std::function<void()> after_each;
  updater::Pause pause() {
    return [this](unsigned ms) {
      pauses.push_back(ms);
      if (after_each) after_each();
    };
  }
  updater::ProcessWait process_wait() {
    return [this](HANDLE process, unsigned ms) {
      process_waits.push_back(ms);
      return ::WaitForSingleObject(process, 0) != WAIT_TIMEOUT;
    };
  }
};

updater::UpdateRequest request_in(const std::wstring& install) {
  return {0, install, L"Tavrio.exe", install + L"\\stage", L""};
}

TEST(Backup, RetriesWhileTheProgramFolderIsHeldAndLogsEachFailedAttempt) {
  Paused p;
  const std::wstring& dir = p.dir;
  write_file(dir + L"\\_internal\\python312.dll", "x");
  // A handle on the folder itself without delete sharing blocks its rename, on Windows and Wine.
  UniqueFile held(::CreateFileW((dir + L"\\_internal").c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(held.valid());
  p.after_each = [&] {
    if (p.pauses.size() == 2) held.reset();
  };
  EXPECT_TRUE(run_step("backup", request_in(dir), p.log, p.pause()).ok());
  EXPECT_EQ(p.pauses, (std::vector<unsigned>{2000, 2000}));
  const std::string held_error = error_text_of(ERROR_SHARING_VIOLATION);
  EXPECT_EQ(log_messages(p.log.path()), (Lines{"备份旧目录第 1 次失败：" + held_error,
                                               "备份旧目录第 2 次失败：" + held_error}));
  EXPECT_TRUE(path_exists(dir + L"\\_internal_old\\python312.dll"));
  EXPECT_FALSE(path_exists(dir + L"\\_internal"));
}

// The runner on rows of its own: each action and undo records itself, and the action of the row
// a case names fails (error 5). Rows 0 to 2 may run while the application closes, 3 and 4 not.
std::vector<std::string> g_calls;
int g_failing_row = -1;
int g_failing_undo = -1;

template <int kRow>
updater::UpdateResult act(updater::Run&) {
  g_calls.push_back("do " + std::to_string(kRow));
  return kRow == g_failing_row ? updater::step_failed(OsError{ERROR_ACCESS_DENIED})
                               : updater::UpdateResult{};
}
template <int kRow>
Status undo(const updater::Layout&) {
  g_calls.push_back("undo " + std::to_string(kRow));
  return kRow == g_failing_undo ? Status(OsError{ERROR_ACCESS_DENIED}) : Status{};
}

using updater::FailureKind;
using updater::JournalStep;
using updater::WhileClosing;
constexpr updater::PlanRow kTestPlan[] = {
    {.name = "check",
     .failure = FailureKind::kPackageIncomplete,
     .action = act<0>,
     .while_closing = WhileClosing::kYes,
     .done_line = "checked"},
    {.name = "journal",
     .failure = FailureKind::kReplacement,
     .records = JournalStep::kStarted,
     .undo = undo<1>,
     .while_closing = WhileClosing::kYes,
     .logs_rolling_back = true},
    {.name = "make",
     .failure = FailureKind::kReplacement,
     .action = act<2>,
     .undo = undo<2>,
     .while_closing = WhileClosing::kYes,
     .logs_rolling_back = true},
    {.name = "move",
     .failure = FailureKind::kBackup,
     .records = JournalStep::kBackedUp,
     .action = act<3>,
     .undo = undo<3>,
     .attempts = 2},
    {.name = "finish",
     .failure = FailureKind::kReplacement,
     .records = JournalStep::kReplaced,
     .action = act<4>,
     .undo = undo<4>,
     .done_line = "finished",
     .logs_rolling_back = true},
};

// The order of actions, the wait, the log lines and the journal; the undos in reverse order of
// the rows done, the journal saying "rolling back" first once the installation moved.
TEST(PlanRunner, RunsInOrderStopsAtTheFirstFailureAndUndoesInReverse) {
  const std::string denied = error_text_of(ERROR_ACCESS_DENIED);
  struct Case {
    int failing_row;
    std::vector<std::string> calls;
    Lines log;
    std::optional<JournalStep> journal;
    int failing_undo = -1;  // fails every time it is tried
  };
  const Case cases[] = {
      {-1,
       {"do 0", "do 2", "wait", "do 3", "do 4"},
       {"checked", "finished"},
       JournalStep::kReplaced},
      {0, {"do 0", "wait"}, {}, std::nullopt},
      {2,
       {"do 0", "do 2", "wait", "undo 1"},
       {"checked", kRollingBack + denied},
       JournalStep::kStarted},
      {3,
       {"do 0", "do 2", "wait", "do 3", "do 3", "undo 2", "undo 1"},
       {"checked", "备份旧目录第 1 次失败：" + denied, "备份旧目录第 2 次失败：" + denied},
       JournalStep::kStarted},
      {4,
       {"do 0", "do 2", "wait", "do 3", "do 4", "undo 3", "undo 2", "undo 1"},
       {"checked", kRollingBack + denied},
       JournalStep::kRollingBack},
      // An undo is tried as often as its row's action, and a rollback given up names the backup.
      {4,
       {"do 0", "do 2", "wait", "do 3", "do 4", "undo 3", "undo 3"},
       {"checked", kRollingBack + denied, "回滚第 1 次失败：" + denied,
        "回滚第 2 次失败：" + denied, "(stranded)"},
       JournalStep::kRollingBack,
       3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failing_row);
    Paused p;
    const updater::Layout layout =
        updater::layout_of({0, p.dir, L"Tavrio.exe", p.dir + L"\\stage", L""});
    g_calls.clear();
    g_failing_row = c.failing_row;
    g_failing_undo = c.failing_undo;
    updater::UpdatePlan plan(layout, p.log, p.pause(), true, kTestPlan);
    plan.run_while_closing();
    g_calls.push_back("wait");
    EXPECT_TRUE(log_messages(p.log.path()).empty()) << "logged before the exit";
    const updater::Outcome outcome = plan.finish();
    EXPECT_EQ(g_calls, c.calls);
    Lines log = c.log;
    for (std::string& line : log) {
      if (line == "(stranded)")
        line = "回滚失败，旧版本保留在 " + narrow(layout.backup_folder) + "：" + denied;
    }
    EXPECT_EQ(log_messages(p.log.path()), log);
    EXPECT_EQ(outcome.ending == updater::Ending::kFailed, c.failing_row >= 0);
    EXPECT_EQ(outcome.backup_stranded, c.failing_undo >= 0);
    if (c.failing_row >= 0) {
      EXPECT_EQ(outcome.failure.step(), kTestPlan[c.failing_row].failure);
      EXPECT_EQ(outcome.failure.error().code(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    const std::optional<updater::Journal> journal = updater::read_journal(layout.journal);
    EXPECT_EQ(journal ? std::optional<JournalStep>(journal->step) : std::nullopt, c.journal);
  }
}

TEST(Backup, GivesUpAfterSixAttemptsWithAPauseAfterEach) {
  Paused p;
  const std::string reason = reason_of(run_step("backup", request_in(p.dir), p.log, p.pause()));
  const std::string missing = error_text_of(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(reason, "备份旧目录失败：" + missing);
  EXPECT_EQ(p.pauses, std::vector<unsigned>(6, 2000));
  Lines expected;
  for (int n = 1; n <= 6; ++n) {
    expected.push_back("备份旧目录第 " + std::to_string(n) + " 次失败：" + missing);
  }
  EXPECT_EQ(log_messages(p.log.path()), expected);
}

StartedProcess spawn_standin(const std::wstring& dir, const Args& arguments) {
  RunOptions options;
  options.environment[L"STANDIN_RECORD"] = dir + L"\\record.txt";
  return spawn(built_exe(L"standin_app.exe"), arguments, options);
}

FILETIME filetime_now() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return now;
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

// A thread of this process that holds an installation's lock as another updater would, until
// the holder goes; with `abandon` it ends without letting go, as a killed updater does.
class OtherUpdater {
 public:
  explicit OtherUpdater(const std::wstring& install, bool abandon = false) {
    std::promise<bool> taken;
    std::future<bool> held = taken.get_future();
    thread_ = std::thread([this, install, abandon, taken = std::move(taken)]() mutable {
      auto* lock = new updater::UpdateLock(updater::take_update_lock(install));
      taken.set_value(lock->held());
      release_.get_future().wait();
      if (!abandon) delete lock;  // an abandoned lock is left as the killed updater leaves it
    });
    held_ = held.get();
  }
  ~OtherUpdater() { let_go(); }
  bool held() const { return held_; }
  void let_go() {
    if (!thread_.joinable()) return;
    release_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> release_;
  std::thread thread_;
  bool held_ = false;
};

TEST(UpdateLock, IsNamedAfterTheFolderItselfSoEverySpellingMeetsTheSameLock) {
  using Name = std::pair<tavrio::FileIndex, std::wstring>;
  for (const auto& [index, name] :
       {Name{{0x1A2B3C4D, 0x0000000100000005}, L"Local\\tavrio-update-1A2B3C4D-0000000100000005"},
        Name{{0, 0}, L"Local\\tavrio-update-00000000-0000000000000000"},
        Name{{0xFFFFFFFF, ~0ull}, L"Local\\tavrio-update-FFFFFFFF-FFFFFFFFFFFFFFFF"}}) {
    EXPECT_EQ(updater::update_lock_name(index), name);
  }
  const ScratchInstall s = make_scratch_install();
  const updater::LockTry test_once = updater::real_lock_try();
  // Mapped first: Wine takes a folder's volume serial from the drive letter it finds the folder
  // under, so mapping a letter onto a folder above changes the serial of every spelling.
  MappedDrive drive(L'Q', s.root);
  OtherUpdater other(s.install);
  ASSERT_TRUE(other.held());
  std::wstring upper_slashed = s.install + L"\\";
  for (wchar_t& c : upper_slashed) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
  const std::wstring spellings[] = {
      s.install,
      upper_slashed,
      L"\\\\?\\" + s.install,
      s.in_install(L"_internal\\.."),
      short_name(s.install),
      drive.mapped() ? drive.root() + L"Tavrio 安装" : L"",
  };
  for (const std::wstring& spelling : spellings) {
    if (spelling.empty()) continue;  // a short name or a mapped drive this system lacks
    EXPECT_EQ(updater::take_update_lock(spelling, test_once).state(),
              updater::UpdateLock::State::kBusy)
        << narrow(spelling);
  }
  // Another folder has a lock of its own; a folder that cannot be opened has none.
  EXPECT_TRUE(updater::take_update_lock(s.stage, test_once).held());
  EXPECT_EQ(updater::take_update_lock(s.root + L"\\missing", test_once).state(),
            updater::UpdateLock::State::kNoFolder);
}

TEST(UpdateLock, IsTakenOnceTheOtherUpdaterLetsGoOrWasEnded) {
  for (bool abandon : {false, true}) {
    const ScratchInstall s = make_scratch_install();
    OtherUpdater other(s.install, abandon);
    ASSERT_TRUE(other.held());
    other.let_go();
    EXPECT_TRUE(updater::take_update_lock(s.install).held()) << "abandoned: " << abandon;
  }
}

// The usual arguments with the one at `at` replaced (5: the exe, 7: the stage, 9: the log).
Args arguments_with(const ScratchInstall& s, size_t at, std::wstring value) {
  Args arguments = updater_arguments(s);
  arguments[at] = std::move(value);
  return arguments;
}

bool update(const ScratchInstall& s) {
  return run_updater(s, updater_arguments(s)).finished;
}

testing::AssertionResult ended_with_zero(const RunResult& result) {
  if (!result.finished) return testing::AssertionFailure() << "did not end";
  if (result.exit_code != 0) return testing::AssertionFailure() << "exit code " << result.exit_code;
  return testing::AssertionSuccess();
}

void expect_restarted_in_install(const ScratchInstall& s, size_t records = 1) {
  ASSERT_TRUE(wait_for_records(s, records)) << "the application was not started again";
  const std::vector<std::string> record = standin_records(s).back();
  ASSERT_GE(record.size(), 3u);
  EXPECT_EQ(record[1], "cwd " + narrow(s.install));
  EXPECT_EQ(record[2], "argc 0");
}

TEST(UpdaterRun, WithoutArgumentsEndsWithZeroAndTouchesNothing) {
  const std::wstring dir = scratch_dir();
  RunOptions in_dir;
  in_dir.current_directory = dir;
  ASSERT_TRUE(ended_with_zero(run(built_exe(L"tavrio-updater.exe"), {}, in_dir)));
  EXPECT_TRUE(list_tree(dir).empty());
}

TEST(UpdaterRun, EndsSilentlyWhenARequiredValueIsMissing) {
  struct Case {
    const char* name;
    std::function<Args(const ScratchInstall&)> arguments;
  };
  const Case cases[] = {
      {"stage missing",
       [](const ScratchInstall& s) {
         return Args{L"--app", s.install, L"--exe", L"Tavrio.exe", L"--log", s.log};
       }},
      {"shifted pairs",
       [](const ScratchInstall& s) {
         Args a = updater_arguments(s);
         a.insert(a.begin(), L"--force");
         return a;
       }},
      {"empty exe", [](const ScratchInstall& s) { return arguments_with(s, 5, L""); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    const Tree before = list_tree(s.root);
    const RunResult r = run_updater(s, c.arguments(s));
    ASSERT_TRUE(ended_with_zero(r));
    EXPECT_EQ(r.processes_started, 1u) << "something was started";
    EXPECT_FALSE(path_exists(s.log));
    EXPECT_EQ(list_tree(s.root), before);
  }
}

TEST(UpdaterRun, SwapsInTheNewVersionAndRestartsIt) {
  const ScratchInstall s = make_scratch_install();
  write_file(s.log, "12:00:00  earlier line\n");
  write_file(s.in_install(L"_internal_old\\stale.txt"), "left by an earlier run");
  write_file(s.in_install(L"Tavrio.exe.new"), "left by an interrupted run");
  set_read_only(s.in_install(L"Tavrio.exe.new"), true);
  ASSERT_TRUE(ended_with_zero(run_updater(s, updater_arguments(s))));
  Lines expected = {"earlier line"};
  expected.insert(expected.end(), kSuccessLines.begin(), kSuccessLines.end());
  EXPECT_EQ(log_messages(s.log), expected);
  EXPECT_EQ(install_tree(s), tree_after_success());
  EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.new_exe);
  EXPECT_EQ(read_file(s.in_install(L"_internal\\python312.dll")), kNewRuntime);
  EXPECT_EQ(read_file(s.in_install(L"卸载.exe")), kNewUninstaller);
  EXPECT_FALSE(path_exists(s.stage));
  expect_restarted_in_install(s);
}

TEST(UpdaterRun, WithoutAStagedUninstallerKeepsTheInstalledOne) {
  const ScratchInstall s = make_scratch_install({.staged_uninstaller = false});
  // An earlier failure report stays for the application to read.
  write_file(s.in_install(L"update_failed.txt"), "earlier report");
  // A read-only update lock is deleted all the same.
  set_read_only(s.in_install(L"update.lock"), true);
  ASSERT_TRUE(update(s));
  EXPECT_EQ(log_messages(s.log),
            (Lines{kBanner, kExited, "校验通过", "文件已替换", "更新成功，重新启动"}));
  EXPECT_EQ(install_tree(s), with_report(tree_after_success()));
  EXPECT_EQ(read_file(s.in_install(L"卸载.exe")), kOldUninstaller);
  EXPECT_EQ(read_file(s.in_install(L"update_failed.txt")), "earlier report");
  expect_restarted_in_install(s);
}

TEST(UpdaterRun, TheSecondAppWinsAndACapitalPidIsNotAProcessId) {
  const ScratchInstall decoy = make_scratch_install();
  const ScratchInstall s = make_install_under(decoy.root + L"\\second");
  // The running application must not be waited for: "--PID" is not the key "--pid".
  StartedProcess app(spawn_application(s, built_exe(L"standin_app.exe"), 60));
  ASSERT_TRUE(app.valid());
  Args arguments = {L"--PID", std::to_wstring(app.pid()), L"--app", decoy.install};
  Args rest = updater_arguments(s);
  arguments.insert(arguments.end(), rest.begin() + 2, rest.end());
  ASSERT_TRUE(run_updater(s, arguments).finished);
  EXPECT_FALSE(app.ended_within(0)) << "the application was not waited for, nor ended";
  app.end_now();
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
  EXPECT_EQ(install_tree(s), tree_after_success());
  EXPECT_EQ(read_file(decoy.in_install(L"_internal\\python312.dll")), kOldRuntime);
}

// The lock is taken first, before anything of the installation is looked at; the application's
// process is opened right after and held through the wait, while the new executable is made. The
// application ends at the wait, after the test has let go of its own handle on it: the handle the
// run opened before still names it.
TEST(UpdateSequence, TakesTheLockFirstAndHoldsTheApplicationThroughTheWait) {
  const ScratchInstall s = make_scratch_install();
  const ScopedEnvironmentVariable record(L"STANDIN_RECORD", s.record);  // for the restart
  std::optional<StartedProcess> app(spawn_application(s, s.in_install(L"Tavrio.exe"), -1));
  ASSERT_TRUE(app->valid());
  ASSERT_TRUE(wait_for_records(s, 1));
  const DWORD app_id = app->pid();
  auto new_executable = [&] {
    return path_exists(s.in_install(L"Tavrio.exe.new")) ? "the new executable ready"
                                                        : "no new executable";
  };
  Lines events;
  updater::UpdateSeams seams;
  seams.pause = [](unsigned) {};
  seams.updater_created = filetime_now();
  seams.try_lock = [&](HANDLE lock) {
    events.push_back(std::string("lock, ") + new_executable());
    return updater::real_lock_try()(lock);
  };
  seams.wait_on_application = [&](HANDLE process, unsigned ms) {
    app->end_now();
    app.reset();
    const bool ended = ::WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
    events.push_back("application " + std::to_string(ms) +
                     (::GetProcessId(process) == app_id ? "" : " (another process)") +
                     (ended ? ", ended, " : ", running, ") + new_executable());
    return ended;
  };
  updater::run_update({app_id, s.install, L"Tavrio.exe", s.stage, s.log}, seams);
  EXPECT_EQ(events,
            (Lines{"lock, no new executable", "application 500, ended, the new executable ready"}));
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
  EXPECT_EQ(install_tree(s), tree_after_success());
  expect_restarted_in_install(s, 2);
}

// An updater started together with another that served the request before this one reached the
// lock (process starts vary more than a small update takes) finds the other's traces and runs
// nothing; a request that fails the same way without another updater since its start is run.
TEST(UpdateSequence, ARequestServedSinceThisUpdaterStartedIsNotRunAgain) {
  struct Case {
    const char* name;
    bool stage_whole;
    bool created_before_the_other;
    Lines second_log;
  };
  const Case cases[] = {
      {"served with success", true, true, {kBanner, kAnotherUpdaterRunning}},
      {"served with a failure", false, true, {kBanner, kAnotherUpdaterRunning}},
      {"no other updater since its start", true, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    const ScopedEnvironmentVariable record(L"STANDIN_RECORD", s.record);
    if (!c.stage_whole) {
      ASSERT_TRUE(::DeleteFileW(s.in_stage(L"_internal\\python312.dll").c_str()));
    }
    updater::UpdateSeams seams;
    seams.pause = [](unsigned) {};
    const FILETIME before = filetime_now();
    ::Sleep(20);  // the clock moves on between the two starts
    seams.updater_created = filetime_now();
    const updater::UpdateRequest request{0, s.install, L"Tavrio.exe", s.stage, L""};
    updater::run_update(request, seams);
    const Tree after_first = list_tree(s.root);
    const std::string report = read_file(s.in_install(L"update_failed.txt"));
    seams.updater_created = c.created_before_the_other ? before : filetime_now();
    updater::run_update({0, s.install, L"Tavrio.exe", s.stage, s.log}, seams);
    if (c.second_log.empty()) {
      EXPECT_EQ(log_messages(s.log).back(),
                "更新失败：准备好的文件不完整，缺少 " + narrow(s.in_stage(L"Tavrio.exe")));
      continue;
    }
    EXPECT_EQ(log_messages(s.log), c.second_log);
    Tree expected = after_first;
    expected.push_back(L"update.log");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_tree(s.root), expected);
    EXPECT_EQ(read_file(s.in_install(L"update_failed.txt")), report);
  }
}

// With a ready event the steps that change nothing of the installation run while the application
// still runs; the event is set after them, before anything of the installation moves, and only
// then does the wait begin. A failed early step, or another updater at work, never sets it: the
// application is then neither waited on, ended nor started again. A name that cannot be opened
// is logged and the run goes on as without one, never creating the event.
TEST(UpdateSequence, SetsTheReadyEventOnlyOnceTheSwapIsSureToStart) {
  struct Case {
    const char* name;
    std::function<std::string(const ScratchInstall&)> arrange;  // gives a reason, if it fails
    Lines events;
    bool unopenable_name = false;
    bool other_updater = false;
  };
  const std::string set = "ready: the new executable ready, the installation as it was";
  const Case cases[] = {
      {"a good stage", [](const ScratchInstall&) { return ""s; }, {set, "wait, the event set"}},
      {"a stage with a file missing",
       [](const ScratchInstall& s) {
         ::DeleteFileW(s.in_stage(L"_internal\\base_library.zip").c_str());
         return "准备好的文件不完整，缺少 " + narrow(s.in_stage(L"_internal\\base_library.zip"));
       },
       {}},
      // What the journal says is settled after the exit; the new executable is made then too.
      {"an interrupted swap to settle",
       [](const ScratchInstall& s) {
         EXPECT_TRUE(updater::write_journal(s.in_install(L"update.journal"),
                                            s.in_install(L"update.journal.tmp"),
                                            {JournalStep::kStarted, s.stage})
                         .ok());
         return ""s;
       },
       {"ready: no new executable, the installation as it was", "wait, the event set"}},
      {"another updater at work", [](const ScratchInstall&) { return ""s; }, {}, false, true},
      {"a name that cannot be opened",
       [](const ScratchInstall&) { return ""s; },
       {"wait, no event of that name"},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    const ScopedEnvironmentVariable record(L"STANDIN_RECORD", s.record);  // for the restart
    const std::string reason = c.arrange(s);
    const std::wstring name = L"Local\\tavrio-ready-test-" + std::to_wstring(now_ms());
    UniqueHandle<InvalidIsNull> event;
    if (!c.unopenable_name) event.reset(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    std::optional<OtherUpdater> other;
    if (c.other_updater) {
      ASSERT_TRUE(other.emplace(s.install).held());
    }
    StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), -1));
    ASSERT_TRUE(app.valid());
    ASSERT_TRUE(wait_for_records(s, 1));
    auto installation = [&] {
      const bool as_it_was = read_file(s.in_install(L"_internal\\python312.dll")) == kOldRuntime &&
                             !path_exists(s.in_install(L"_internal_old"));
      return as_it_was ? "the installation as it was" : "the installation moved";
    };
    Lines events;
    updater::UpdateSeams seams;
    seams.pause = [](unsigned) {};
    seams.updater_created = filetime_now();
    seams.set_ready = [&](HANDLE ready) {
      events.push_back("ready: "s +
                       (path_exists(s.in_install(L"Tavrio.exe.new")) ? "the new executable ready"
                                                                     : "no new executable") +
                       ", " + installation());
      updater::real_ready_set()(ready);
    };
    seams.wait_on_application = [&](HANDLE, unsigned) {
      HANDLE named = ::OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
      const bool signalled = named != nullptr && ::WaitForSingleObject(named, 0) == WAIT_OBJECT_0;
      events.push_back(named == nullptr ? "wait, no event of that name"
                       : signalled      ? "wait, the event set"
                                        : "wait, not set");
      if (named != nullptr) ::CloseHandle(named);
      app.end_now();
      return true;
    };
    updater::UpdateRequest request{app.pid(), s.install, L"Tavrio.exe", s.stage, s.log, name};
    updater::run_update(request, seams);
    EXPECT_EQ(events, c.events);
    if (event) {
      EXPECT_EQ(::WaitForSingleObject(event.get(), 0) == WAIT_OBJECT_0, !c.events.empty());
    }
    const Lines messages = log_messages(s.log);
    if (c.other_updater) {
      EXPECT_EQ(messages, (Lines{kBanner, kAnotherUpdaterRunning}));
    } else if (!reason.empty()) {
      // The application runs on: nothing waited for it, and its exit is not logged.
      EXPECT_EQ(messages, (Lines{kBanner, "更新失败：" + reason}));
      EXPECT_EQ(read_report(s).reason, reason);
      // The cleanup of a failure: the markers and the stage go.
      EXPECT_EQ(install_tree(s), with_report(tree_before_update()));
      EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.old_exe);
      EXPECT_FALSE(path_exists(s.stage));
    } else {
      Lines expected = kSuccessLines;
      if (c.unopenable_name) {
        expected.insert(expected.begin() + 1, "无法打开就绪事件 " + narrow(name) +
                                                  "，照常等待主程序退出：" +
                                                  error_text_of(ERROR_FILE_NOT_FOUND));
      }
      EXPECT_EQ(messages, expected);
      EXPECT_EQ(install_tree(s), tree_after_success());
    }
    const bool restarts = !c.events.empty();
    EXPECT_EQ(app.ended_within(0), restarts) << "the application was ended or left running";
    if (restarts) expect_restarted_in_install(s, 2);
    EXPECT_EQ(standin_records(s).size(), restarts ? 2u : 1u);
    app.end_now();
  }
}

// Behind the id there is another program, as after the application ended and the system gave
// its id away: it is neither waited on nor ended, and the update goes through at once.
TEST(UpdaterRun, AnotherProgramBehindTheIdIsNeitherWaitedOnNorEnded) {
  const ScratchInstall s = make_scratch_install();
  StartedProcess other(spawn_application(s, built_exe(L"standin_app.exe"), 60));
  ASSERT_TRUE(other.valid());
  ASSERT_TRUE(wait_for_records(s, 1));
  // Far less than the 40 s the wait would give the application.
  ASSERT_TRUE(ended_with_zero(run_updater(s, updater_arguments(s, other.pid()), 20000)));
  EXPECT_FALSE(other.ended_within(0)) << "another program was ended";
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
  EXPECT_EQ(install_tree(s), tree_after_success());
  expect_restarted_in_install(s, 2);
}

// The application's side of "--ready", played by the installed stand-in: it creates the event,
// starts the real updater with it and its own id, holds its runtime folder while it runs (so
// that no rename of the installation could succeed before its exit) and waits on the event and
// the updater together. A good stage: it exits on the event, and one swap and one restart
// follow. A damaged one: the updater ends first, leaving the report and the installation as it
// was, and the application runs on, neither ended nor started again.
TEST(UpdaterRun, WithAReadyEventOnlyASwapThatWillStartClosesTheApplication) {
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a damaged stage" : "a good stage");
    const ScratchInstall s = make_scratch_install();
    const std::wstring missing = s.in_stage(L"_internal\\python312.dll");
    if (damaged) ::DeleteFileW(missing.c_str());
    Args arguments = {L"--ready-start", built_exe(L"tavrio-updater.exe")};
    const Args request = arguments_with(s, 1, L"{pid}");
    arguments.insert(arguments.end(), request.begin(), request.end());
    arguments.insert(arguments.end(), {L"--ready", L"{ready}"});
    RunOptions options;
    options.environment[L"STANDIN_RECORD"] = s.record;
    options.current_directory = s.install;
    StartedProcess app(spawn(s.in_install(L"Tavrio.exe"), arguments, options));
    ASSERT_TRUE(app.valid());
    const std::wstring handshake = s.record + L".handshake";
    ASSERT_TRUE(wait_until([&] { return !read_lines(handshake).empty(); }, 60000));
    const Lines seen = read_lines(handshake);
    ASSERT_EQ(seen.size(), 1u);
    if (!damaged) {
      EXPECT_TRUE(seen[0].starts_with("ready ")) << seen[0];
      ASSERT_TRUE(app.ends_within(10000));
      ASSERT_TRUE(app.family_ended_within(30000));
      // Not one failed backup attempt: the runtime folder was no longer held when it moved.
      EXPECT_EQ(log_messages(s.log), kSuccessLines);
      EXPECT_EQ(install_tree(s), tree_after_success());
      EXPECT_EQ(app.processes_started(), 3u) << "the application, the updater, the restart";
      expect_restarted_in_install(s, 2);
      continue;
    }
    EXPECT_EQ(seen[0], "ended");
    EXPECT_FALSE(app.ended_within(0)) << "the application was ended";
    const std::string reason = "准备好的文件不完整，缺少 " + narrow(missing);
    EXPECT_EQ(log_messages(s.log), (Lines{kBanner, "更新失败：" + reason}));
    EXPECT_EQ(read_report(s).reason, reason);
    EXPECT_EQ(install_tree(s), with_report(tree_before_update()));
    EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.old_exe);
    EXPECT_EQ(app.processes_started(), 2u) << "something was started";
    EXPECT_EQ(standin_records(s).size(), 1u);
    app.end_now();
  }
}

// Another updater holds the installation: this one logs so at once and ends, with the markers,
// the staging folder and the installation as they were, no report and nothing started.
TEST(UpdaterRun, WithAnotherUpdaterAtWorkNothingIsChangedOrStarted) {
  const ScratchInstall s = make_scratch_install();
  OtherUpdater other(s.install);
  ASSERT_TRUE(other.held());
  Tree expected = list_tree(s.root);
  const RunResult r = run_updater(s, updater_arguments(s));
  ASSERT_TRUE(ended_with_zero(r));
  EXPECT_EQ(r.processes_started, 1u) << "something was started";
  EXPECT_EQ(log_messages(s.log), (Lines{kBanner, kAnotherUpdaterRunning}));
  expected.push_back(L"update.log");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(list_tree(s.root), expected);
}

TEST(UpdaterRun, LongPathsWithSpacesAndChineseWorkEndToEnd) {
  const std::wstring root = scratch_dir();
  std::wstring deep = root;
  while (deep.size() < 300) deep += L"\\很长的 文件夹 name";
  make_dirs(deep);
  const ScratchInstall s = make_install_under(deep);
  ASSERT_GT(s.in_install(L"_internal\\base_library.zip").size(), 260u);
  ASSERT_TRUE(run_updater(s, arguments_with(s, 9, root + L"\\update.log")).finished);
  Lines logged = log_messages(root + L"\\update.log");
  EXPECT_EQ(install_tree(s), tree_after_success());
  EXPECT_FALSE(path_exists(s.stage));
  if (running_under_wine()) {
    // Wine 8 asks GetLongPathNameW for the image path of the program it starts, into a buffer of
    // MAX_PATH characters; a longer path leaves that buffer as it was, and whether the start
    // finds the program depends on what the buffer held before.
    std::printf(
        "not checked under Wine: the restart from a path this long (Wine fills the image "
        "path from an unwritten buffer)\n");
    if (logged.size() > kSuccessLines.size()) logged.resize(kSuccessLines.size());
    EXPECT_EQ(logged, kSuccessLines);
    return;
  }
  EXPECT_EQ(logged, kSuccessLines);
  // A program path this long is started by its short name, where the volume has short names.
  wchar_t probe[MAX_PATH];
  if (::GetShortPathNameW((L"\\\\?\\" + s.install).c_str(), probe, MAX_PATH) != 0) {
    EXPECT_TRUE(wait_for_records(s, 1)) << "the application was not started again";
  }
}

TEST(UpdaterRun, ALogInAMissingFolderIsDroppedAndTheUpdateRunsTheSame) {
  const ScratchInstall s = make_scratch_install();
  ASSERT_TRUE(
      run_updater(s, arguments_with(s, 9, s.root + L"\\no such folder\\update.log")).finished);
  EXPECT_FALSE(path_exists(s.root + L"\\no such folder"));
  EXPECT_EQ(install_tree(s), tree_after_success());
  expect_restarted_in_install(s);
}

// The log ends in `before` (after the banner and "主程序已退出") and the failure; the report
// names the reason and the log; the previous version is in place and the staging folder gone.
void expect_failed_and_restored(const ScratchInstall& s, const std::string& reason,
                                const Lines& before = {}, const Tree& extra_tree = {}) {
  Lines expected = {kBanner, kExited};
  expected.insert(expected.end(), before.begin(), before.end());
  expected.push_back("更新失败：" + reason);
  EXPECT_EQ(log_messages(s.log), expected);
  Report report = read_report(s);
  EXPECT_TRUE(report.well_formed);
  EXPECT_EQ(report.reason, reason);
  EXPECT_EQ(report.log, narrow(s.log));
  EXPECT_EQ(install_tree(s), with_report(tree_before_update(), extra_tree));
  EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.old_exe)
      << "the installed executable changed";
  EXPECT_FALSE(path_exists(s.stage));
}

// The replacement failed with `error` and was rolled back (no "Tavrio.exe.new" left behind).
void expect_replacement_rolled_back(const ScratchInstall& s, const std::string& error) {
  expect_failed_and_restored(s, "替换失败：" + error, {"校验通过", kRollingBack + error});
}

// The error of a replacement that failed and was rolled back, from its five-line log.
std::string replacement_error(const ScratchInstall& s) {
  const Lines messages = log_messages(s.log);
  if (messages.size() != 5 || !messages[3].starts_with(kRollingBack)) {
    ADD_FAILURE() << "no rolled-back replacement in the log: " << testing::PrintToString(messages);
    return "(none)";
  }
  return messages[3].substr(kRollingBack.size());
}

TEST(UpdaterRun, EachFailureKeepsThePreviousVersionAndLeavesAReport) {
  struct Case {
    const char* name;
    std::function<std::string(const ScratchInstall&)> arrange;  // gives the expected reason
    Lines before_failure;
    Tree extra_tree;
  };
  const std::string incomplete = "准备好的文件不完整，缺少 ";
  const Case cases[] = {
      {"staged executable and runtime missing: only the first is named",
       [&](const ScratchInstall& s) {
         ::DeleteFileW(s.in_stage(L"Tavrio.exe").c_str());
         ::DeleteFileW(s.in_stage(L"_internal\\python312.dll").c_str());
         return incomplete + narrow(s.in_stage(L"Tavrio.exe"));
       },
       {},
       {}},
      {"staged base_library.zip missing; a leftover backup is still removed",
       [&](const ScratchInstall& s) {
         ::DeleteFileW(s.in_stage(L"_internal\\base_library.zip").c_str());
         write_file(s.in_install(L"_internal_old\\x.txt"), "old backup");
         return incomplete + narrow(s.in_stage(L"_internal\\base_library.zip"));
       },
       {},
       {}},
      {"a plain file stands where the old backup would be",
       [](const ScratchInstall& s) {
         write_file(s.in_install(L"_internal_old"), "file");
         return "清理上次的备份失败：" + error_text_of(ERROR_DIRECTORY);
       },
       {"校验通过"},
       {L"_internal_old"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    const std::string reason = c.arrange(s);
    ASSERT_TRUE(ended_with_zero(run_updater(s, updater_arguments(s))));
    expect_failed_and_restored(s, reason, c.before_failure, c.extra_tree);
    expect_restarted_in_install(s);
  }
}

// A staging folder that holds anything but a stage (the application named the user's documents
// by mistake) is left as it is after either ending: only what a successful swap took is gone.
TEST(UpdaterRun, AStagingFolderWithOtherThingsInItIsLeftAsItIs) {
  for (const bool package : {true, false}) {
    SCOPED_TRACE(package ? "a package beside them: success" : "no package: failure");
    const ScratchInstall s = make_scratch_install();
    if (!package) remove_all(s.stage);
    write_file(s.in_stage(L"我的文档.docx"), "the user's");
    write_file(s.in_stage(L"照片\\a.jpg"), "the user's");
    Tree expected = list_tree(s.stage);
    std::erase_if(expected, [](const std::wstring& e) { return e.starts_with(L"_internal"); });
    ASSERT_TRUE(ended_with_zero(run_updater(s, updater_arguments(s))));
    EXPECT_EQ(list_tree(s.stage), expected);
    EXPECT_EQ(read_file(s.in_install(L"_internal\\python312.dll")),
              package ? kNewRuntime : kOldRuntime);
  }
}

TEST(UpdaterRun, AStagingFolderOnAnotherVolumeIsRolledBack) {
  if (!is_dir(L"T:\\")) {
    GTEST_SKIP() << "drive T: (another file system) is not mapped in this Wine prefix";
  }
  const ScratchInstall s = make_scratch_install();
  const std::wstring remote = L"T:\\updater-cross-volume";
  remove_all(remote);
  remove_all(s.stage);
  write_staged_version(s, remote);
  ASSERT_TRUE(run_updater(s, arguments_with(s, 7, remote)).finished);
  expect_replacement_rolled_back(s, error_text_of(ERROR_NOT_SAME_DEVICE));
  EXPECT_FALSE(path_exists(remote));
  expect_restarted_in_install(s);
}

TEST(UpdaterRun, WithoutALogTheReportNamesNoLogAndNoLogIsWritten) {
  const ScratchInstall s = make_scratch_install();
  ::DeleteFileW(s.in_stage(L"Tavrio.exe").c_str());
  Args arguments = updater_arguments(s);
  arguments.resize(8);
  ASSERT_TRUE(run_updater(s, arguments).finished);
  EXPECT_FALSE(path_exists(s.log));
  Report report = read_report(s);
  EXPECT_TRUE(report.well_formed);
  EXPECT_EQ(report.log, "");
  EXPECT_TRUE(read_file(s.in_install(L"update_failed.txt")).ends_with("\n详细日志："));
}

TEST(UpdaterRun, AMissingInstalledExecutableIsNotStarted) {
  const ScratchInstall s = make_scratch_install();
  ::DeleteFileW(s.in_install(L"Tavrio.exe").c_str());
  ::DeleteFileW(s.in_stage(L"_internal\\python312.dll").c_str());
  const RunResult r = run_updater(s, updater_arguments(s));
  ASSERT_TRUE(ended_with_zero(r));
  EXPECT_TRUE(read_report(s).well_formed);
  EXPECT_EQ(r.processes_started, 1u) << "something was started";
  EXPECT_FALSE(path_exists(s.record));
}

// How a case names the staging folder: the argument, the full path that the refusal shows, or
// why this system cannot spell the folder that way.
struct Spelling {
  std::wstring stage;
  std::wstring shown;
  std::string why_not;
};

Spelling spelled(std::wstring stage, std::wstring shown = {}) {
  if (shown.empty()) shown = stage;
  return {std::move(stage), std::move(shown), {}};
}

Spelling short_spelling(const std::wstring& path) {
  const std::wstring short_path = short_name(path);
  if (short_path.empty()) return {{}, {}, "this volume keeps no 8.3 short names"};
  return spelled(short_path);
}

// Every spelling of the install folder, of a folder above it, of its program folder or of a
// volume's root is refused: the staging folder is kept, nothing beside or above the
// installation changes, and the application is started again.
TEST(UpdaterRun, RefusesAStagingFolderThatHoldsTheInstallation) {
  struct Case {
    const char* name;
    std::function<Spelling(const ScratchInstall&, std::optional<MappedDrive>&)> spelling;
  };
  auto mapped_onto = [](std::optional<MappedDrive>& drive, const std::wstring& folder,
                        const std::wstring& below_root) {
    drive.emplace(L'Q', folder);
    if (!drive->mapped()) return Spelling{{}, {}, drive->why_not()};
    return spelled(drive->root() + below_root);
  };
  using Drive = std::optional<MappedDrive>;
  const Case cases[] = {
      // The install folder passes the package check as its own staging folder: without the
      // refusal the cleanup would remove the whole installation.
      {"the install folder itself, spelled differently",
       [](const ScratchInstall& s, Drive&) {
         std::wstring stage = s.install + L"\\";
         for (wchar_t& c : stage) c = c == L'\\' ? L'/' : static_cast<wchar_t>(::towupper(c));
         std::wstring shown = stage;
         std::replace(shown.begin(), shown.end(), L'/', L'\\');
         return spelled(stage, shown);
       }},
      {"the folder above it", [](const ScratchInstall& s, Drive&) { return spelled(s.root); }},
      {"\\\\.\\ form",
       [](const ScratchInstall& s, Drive&) { return spelled(L"\\\\.\\" + s.install); }},
      {"\\??\\ form",
       [](const ScratchInstall& s, Drive&) { return spelled(L"\\??\\" + s.install); }},
      {"//./ form of the folder above",
       [](const ScratchInstall& s, Drive&) {
         std::wstring stage = L"//./" + s.root;
         std::replace(stage.begin(), stage.end(), L'\\', L'/');
         return spelled(stage, L"\\\\.\\" + s.root);
       }},
      {"short name of the install folder",
       [](const ScratchInstall& s, Drive&) { return short_spelling(s.install); }},
      {"short name of the program folder",
       [](const ScratchInstall& s, Drive&) { return short_spelling(s.in_install(L"_internal")); }},
      {"another drive letter mapped onto the folder above",
       [&](const ScratchInstall& s, Drive& drive) {
         return mapped_onto(drive, s.root, L"Tavrio 安装");
       }},
      // Not above the installation, but its cleanup would empty a whole volume.
      {"the root of another volume",
       [&](const ScratchInstall& s, Drive& drive) {
         write_file(s.root + L"\\volume\\canary.txt", "beside the installation");
         return mapped_onto(drive, s.root + L"\\volume", L"");
       }},
      {"a junction to the folder above",
       [](const ScratchInstall& s, Drive&) {
         const std::wstring link = s.root + L"\\..\\junction";
         if (std::string why_not = make_junction(link, s.root); !why_not.empty()) {
           return Spelling{{}, {}, why_not};
         }
         return spelled(link + L"\\Tavrio 安装", full_path(link + L"\\Tavrio 安装"));
       }},
  };
  const std::wstring scratch = scratch_dir();
  write_file(scratch + L"\\canary.txt", "above the installation");
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring root = scratch + L"\\case " + std::to_wstring(++index);
    make_dirs(root);
    const ScratchInstall s = make_install_under(root, {.markers = false});
    write_file(s.root + L"\\canary.txt", "beside the installation");
    Drive drive;
    const Spelling spelling = c.spelling(s, drive);
    if (spelling.stage.empty()) {
      std::cout << "[  SKIPPED ] " << c.name << ": " << spelling.why_not << "\n";
      continue;
    }
    Tree expected = list_tree(s.root);
    ASSERT_TRUE(run_updater(s, arguments_with(s, 7, spelling.stage)).finished);
    const std::string reason = "暂存目录包含安装目录，拒绝更新：" + narrow(spelling.shown);
    EXPECT_EQ(log_messages(s.log), (Lines{kBanner, kExited, "更新失败：" + reason}));
    EXPECT_EQ(read_report(s).reason, reason);
    expect_restarted_in_install(s);
    expected.insert(expected.end(),
                    {L"Tavrio 安装\\update_failed.txt", L"standin-record.txt", L"update.log"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_tree(s.root), expected);
    EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.old_exe)
        << "the installed executable changed";
    EXPECT_EQ(read_file(scratch + L"\\canary.txt"), "above the installation");
    ::RemoveDirectoryW((s.root + L"\\..\\junction").c_str());  // the link only, if one was made
  }
}

// With an install folder that cannot be opened nothing can be proven about any staging folder.
TEST(UpdaterRun, AnInstallFolderThatCannotBeOpenedRefusesEveryStagingFolder) {
  const ScratchInstall s = make_scratch_install();
  const Tree before = list_tree(s.root);
  const std::wstring missing = s.root + L"\\missing";
  ASSERT_TRUE(run_updater(s, arguments_with(s, 3, missing)).finished);
  EXPECT_EQ(
      log_messages(s.log),
      (Lines{kBanner, kExited, "更新失败：暂存目录包含安装目录，拒绝更新：" + narrow(s.stage)}));
  Tree expected = before;
  expected.push_back(L"update.log");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(list_tree(s.root), expected);
}

// An executable name that is not a plain file name is refused before anything is touched:
// joined to the install folder it would name a file outside it. Nothing is started.
TEST(UpdaterRun, RefusesAnExecutableNameThatIsNotAPlainFileName) {
  const wchar_t* names[] = {L"..\\..\\canary\\a.txt", L"..\\canary_above.txt", L"Tavrio.exe."};
  const std::wstring scratch = scratch_dir();
  std::vector<ScratchInstall> runs;
  for (const wchar_t* name : names) {
    SCOPED_TRACE(narrow(name));
    const std::wstring top = scratch + L"\\case " + std::to_wstring(runs.size() + 1);
    make_dirs(top + L"\\w");
    write_file(top + L"\\canary\\a.txt", "outside both folders");
    write_file(top + L"\\w\\canary_above.txt", "beside the install folder");
    const ScratchInstall& s =
        runs.emplace_back(make_install_under(top + L"\\w", {.markers = false}));
    Tree expected = list_tree(top);
    const RunResult r = run_updater(s, arguments_with(s, 5, name));
    ASSERT_TRUE(ended_with_zero(r));
    EXPECT_EQ(r.processes_started, 1u) << "something was started";
    const std::string reason = "主程序名无效，拒绝更新：" + narrow(name);
    EXPECT_EQ(log_messages(s.log), (Lines{kBanner, kExited, "更新失败：" + reason}));
    EXPECT_EQ(read_report(s).reason, reason);
    expected.insert(expected.end(), {L"w\\Tavrio 安装\\update_failed.txt", L"w\\update.log"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(list_tree(top), expected);
    EXPECT_EQ(read_file(top + L"\\canary\\a.txt"), "outside both folders");
    EXPECT_EQ(read_file(top + L"\\w\\canary_above.txt"), "beside the install folder");
  }
  for (const ScratchInstall& s : runs) EXPECT_FALSE(path_exists(s.record)) << narrow(s.root);
}

TEST(UpdaterRun, AnExecutableInUseIsLeftWholeAndTheRuntimeRolledBack) {
  const ScratchInstall s = make_scratch_install();
  write_file(s.in_install(L"Tavrio.exe.new"), "left by an interrupted run");
  // A running exe refuses to be replaced; the updater is not told to wait for it.
  StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), 60));
  ASSERT_TRUE(app.valid());
  ASSERT_TRUE(wait_for_records(s, 1));
  ASSERT_TRUE(update(s));
  app.end_now();
  expect_replacement_rolled_back(s, replacement_error(s));
  expect_restarted_in_install(s, 2);
}

UniqueFile open_shared(const std::wstring& path) {
  return UniqueFile(::CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
}

// Locks the tail of the staged executable so that a copy of it stops halfway.
TEST(UpdaterRun, ACopyThatStopsHalfwayNeverReachesTheInstalledExecutable) {
  const ScratchInstall s = make_scratch_install();
  write_file(s.in_stage(L"Tavrio.exe"), s.new_exe + std::string(4 << 20, 'p'));
  UniqueFile locker = open_shared(s.in_stage(L"Tavrio.exe"));
  ASSERT_TRUE(locker.valid());
  OVERLAPPED at{};
  at.Offset = 2 << 20;
  ASSERT_TRUE(::LockFileEx(locker.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                           4 << 20, 0, &at));
  {
    UniqueFile reader = open_shared(s.in_stage(L"Tavrio.exe"));
    char byte;
    DWORD read = 0;
    ::SetFilePointer(reader.get(), (2 << 20) + 10, nullptr, FILE_BEGIN);
    if (::ReadFile(reader.get(), &byte, 1, &read, nullptr)) {
      GTEST_SKIP() << "this system does not enforce byte-range locks on reads";
    }
  }
  ASSERT_TRUE(update(s));
  const std::string error = replacement_error(s);
  EXPECT_EQ(error, error_text_of(ERROR_LOCK_VIOLATION));
  locker.reset();
  expect_replacement_rolled_back(s, error);
  expect_restarted_in_install(s);
}

// Runs a Linux command under Wine and tells whether it succeeded. Wine starts the Unix program
// but hands back a process handle that cannot be waited on, so success is read from a marker.
bool linux_command_succeeded(const std::string& command, const std::wstring& marker) {
  const std::string unix_marker = linux_path(marker);
  if (unix_marker.empty()) return false;
  run_linux(command + " && touch '" + unix_marker + "'");
  return wait_until([&] { return path_exists(marker); }, 5000);
}

// Undoes a Linux-side change when the test ends, however it ends.
struct LinuxOnExit {
  std::string command;  // nothing to undo while empty
  std::wstring marker;
  ~LinuxOnExit() {
    if (!command.empty()) linux_command_succeeded(command, marker);
  }
};

// A read-only executable refuses replacement on Windows; Wine as root replaces it unless the
// file is also immutable on the Linux side.
TEST(UpdaterRun, AReadOnlyExecutableIsLeftUnchanged) {
  const ScratchInstall s = make_scratch_install();
  const std::wstring exe = s.in_install(L"Tavrio.exe");
  set_read_only(exe, true);
  LinuxOnExit unlock{{}, s.root + L"\\mutable"};
  if (running_under_wine()) {
    const std::string unix_exe = linux_path(exe);
    if (!linux_command_succeeded("chattr +i '" + unix_exe + "'", s.root + L"\\immutable")) {
      set_read_only(exe, false);
      GTEST_SKIP() << "chattr +i is not possible here, and Wine as root replaces read-only files";
    }
    unlock.command = "chattr -i '" + unix_exe + "'";
  }
  ASSERT_TRUE(update(s));
  const std::string error = replacement_error(s);
  EXPECT_EQ(error, error_text_of(ERROR_ACCESS_DENIED));
  expect_replacement_rolled_back(s, error);
  expect_restarted_in_install(s);
}

// The copy of the new executable runs out of space halfway: the installed executable must stay
// whole. A small Linux file system of its own holds the installation and the staging folder.
TEST(UpdaterRun, ACopyThatRunsOutOfSpaceNeverReachesTheInstalledExecutable) {
  if (!running_under_wine()) GTEST_SKIP() << "needs a small Linux file system under Wine";
  const std::wstring root = scratch_dir();
  const std::wstring volume = root + L"\\small volume";
  make_dirs(volume);
  const std::string unix_volume = linux_path(volume);
  const std::string old_exe = read_file(built_exe(L"standin_app.exe"));
  const size_t padding = 1 << 20;
  // Room for both executables and the small files, and about 256 KB more: the new executable
  // cannot be copied whole, while a copy over the old one (which frees its space) gets halfway.
  const size_t size_k = (old_exe.size() + old_exe.size() + padding) / 1024 + 384;
  if (!linux_command_succeeded(
          "mount -t tmpfs -o size=" + std::to_string(size_k) + "k tmpfs '" + unix_volume + "'",
          root + L"\\mounted")) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root with mount rights)";
  }
  LinuxOnExit unmount{"umount -l '" + unix_volume + "'", root + L"\\unmounted"};
  ScratchInstall s = make_install_under(volume, {.staged_uninstaller = false});
  s.log = root + L"\\update.log";
  s.record = root + L"\\standin-record.txt";
  write_file(s.in_stage(L"Tavrio.exe"), s.new_exe + std::string(padding, 'p'));
  ASSERT_EQ(read_file(s.in_stage(L"Tavrio.exe")).size(), s.new_exe.size() + padding)
      << "the staged version must fit on the small volume";

  ASSERT_TRUE(update(s));
  const std::string error = replacement_error(s);
  EXPECT_TRUE(error == error_text_of(ERROR_DISK_FULL) ||
              error == error_text_of(ERROR_HANDLE_DISK_FULL))
      << error;
  const std::string installed = read_file(s.in_install(L"Tavrio.exe"));
  EXPECT_TRUE(installed == s.old_exe) << "the installed executable changed: " << installed.size()
                                      << " bytes instead of " << s.old_exe.size();
  EXPECT_FALSE(path_exists(s.in_install(L"Tavrio.exe.new")));
  EXPECT_EQ(read_file(s.in_install(L"_internal\\python312.dll")), kOldRuntime);
  EXPECT_EQ(read_report(s).reason, "替换失败：" + error);
  expect_restarted_in_install(s);
}

TEST(UpdaterRun, ABackupThatCannotBeMovedBackIsKeptAndNamed) {
  const ScratchInstall s = make_scratch_install();
  // The installed executable is locked, so the replacement fails; a staged runtime file is
  // locked too, so the rollback cannot remove the new runtime and the backup cannot move back.
  auto hold = [&](const std::wstring& path, const std::wstring& marker) {
    return spawn(built_exe(L"hold_open.exe"), {L"lock", path, L"60000", s.root + marker});
  };
  StartedProcess exe_lock(hold(s.in_install(L"Tavrio.exe"), L"\\exe.held"));
  StartedProcess runtime_lock(hold(s.in_stage(L"_internal\\python312.dll"), L"\\rt.held"));
  ASSERT_TRUE(wait_until(
      [&] { return path_exists(s.root + L"\\exe.held") && path_exists(s.root + L"\\rt.held"); },
      10000));
  ASSERT_TRUE(update(s));
  exe_lock.end_now();
  runtime_lock.end_now();
  const Lines messages = log_messages(s.log);
  ASSERT_GE(messages.size(), 4u);
  if (messages[3].find(error_text_of(ERROR_SHARING_VIOLATION)) != std::string::npos &&
      path_exists(s.in_stage(L"_internal"))) {
    GTEST_SKIP() << "a file held open inside the staged folder stops its rename here";
  }
  // The backup's rename back is tried as often as the backup was, each failure logged; the
  // locked executable cannot be started either, and each of the five starts says so.
  ASSERT_EQ(messages.size(), 17u) << testing::PrintToString(messages);
  for (int n = 1; n <= 5; ++n) {
    EXPECT_TRUE(messages[11 + n].starts_with("启动主程序第 " + std::to_string(n) + " 次失败："))
        << messages[11 + n];
  }
  EXPECT_TRUE(messages[3].starts_with(kRollingBack)) << messages[3];
  for (int n = 1; n <= 6; ++n) {
    EXPECT_TRUE(messages[3 + n].starts_with("回滚第 " + std::to_string(n) + " 次失败："))
        << messages[3 + n];
  }
  EXPECT_TRUE(messages[10].starts_with("回滚失败，旧版本保留在 " +
                                       narrow(s.in_install(L"_internal_old")) + "："))
      << messages[10];
  EXPECT_TRUE(messages[10].ends_with(")")) << messages[10];
  EXPECT_TRUE(messages[11].starts_with("更新失败：替换失败：")) << messages[11];
  // The only complete copy of the previous runtime survives the cleanup.
  EXPECT_EQ(read_file(s.in_install(L"_internal_old\\python312.dll")), kOldRuntime);
  EXPECT_EQ(read_file(s.in_install(L"_internal_old\\lib\\old_only.pyd")), "old module\n");
  EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == s.old_exe);
  EXPECT_TRUE(read_report(s).reason.starts_with("替换失败："));
}

}  // namespace
}  // namespace tavrio::test
