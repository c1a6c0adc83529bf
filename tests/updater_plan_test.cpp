// The plan and its runner: the steps in order, the first failure, the undos in reverse, and the
// backup's retries with the pause injected.
#include <gtest/gtest.h>

#include <windows.h>

#include <optional>

#include "common/os_error.h"
#include "journal.h"
#include "plan.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

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

}  // namespace
}  // namespace tavrio::test
