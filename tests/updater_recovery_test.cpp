// Runs that a crash cut off, set up on disk as the interrupted run leaves them, and the run that
// settles them; and the cleanup around the restart: rubbish names, and the fallback when a
// folder cannot be renamed out of the way.
#include <gtest/gtest.h>

#include <functional>

#include "common/handles.h"
#include "updater_fixture.h"

namespace tavrio::test {
namespace {

using Lines = std::vector<std::string>;
using Tree = std::vector<std::wstring>;

const std::string kCompleted = "上次更新被中断，已完成";
const Lines kCompletedLines = {kBanner, kExited, kCompleted, "更新成功，重新启动"};

void write_journal(const ScratchInstall& s, const std::string& step) {
  write_file(s.in_install(L"update.journal"),
             "tavrio update journal 1\nstep=" + step + "\nstage=" + narrow(s.stage) + "\n");
}

// The installation as the swap leaves it at each step.
void backed_up(const ScratchInstall& s) {
  ASSERT_TRUE(
      ::MoveFileW(s.in_install(L"_internal").c_str(), s.in_install(L"_internal_old").c_str()));
}
void replaced(const ScratchInstall& s) {
  backed_up(s);
  ASSERT_TRUE(::MoveFileW(s.in_stage(L"_internal").c_str(), s.in_install(L"_internal").c_str()));
}
void new_exe_ready(const ScratchInstall& s, size_t bytes) {
  write_file(s.in_install(L"Tavrio.exe.new"), s.new_exe.substr(0, bytes));
}

// What the run after the interruption ends with.
enum class Then {
  kCompleted,  // the recovery finished the swap: the new version, no report
  kUpdated,    // the recovery undid the swap and the update went through
  kRestored,   // the recovery undid the swap; the staged runtime was gone with the rollback
};

struct Case {
  const char* name;
  std::function<void(const ScratchInstall&)> interrupted;
  Then then;
};

TEST(Recovery, AnInterruptedSwapIsFinishedOrUndoneAtEveryStep) {
  const Case cases[] = {
      {"started, half a new executable",
       [](const ScratchInstall& s) {
         write_journal(s, "started");
         new_exe_ready(s, 100);
       },
       Then::kUpdated},
      {"backed up",
       [](const ScratchInstall& s) {
         backed_up(s);
         write_journal(s, "backed-up");
       },
       Then::kUpdated},
      {"no journal, no program folder, a backup", [](const ScratchInstall& s) { backed_up(s); },
       Then::kUpdated},
      {"rolling back, the new runtime half removed",
       [](const ScratchInstall& s) {
         replaced(s);
         ::DeleteFileW(s.in_install(L"_internal\\python312.dll").c_str());
         write_journal(s, "rolling-back");
       },
       Then::kRestored},
      // The rollback removed the new runtime but could not put the backup back, nor write its
      // own journal step: the disk, not the stale journal, decides.
      {"replaced, but the new runtime removed and the backup aside",
       [](const ScratchInstall& s) {
         replaced(s);
         remove_all(s.in_install(L"_internal"));
         write_journal(s, "replaced");
       },
       Then::kRestored},
      {"backed up, but the replacement went through",
       [](const ScratchInstall& s) {
         replaced(s);
         new_exe_ready(s, std::string::npos);
         write_journal(s, "backed-up");
       },
       Then::kCompleted},
      {"replaced, whole new executable",
       [](const ScratchInstall& s) {
         replaced(s);
         new_exe_ready(s, std::string::npos);
         write_journal(s, "replaced");
       },
       Then::kCompleted},
      {"replaced, half a new executable",
       [](const ScratchInstall& s) {
         replaced(s);
         new_exe_ready(s, 100);
         write_journal(s, "replaced");
       },
       Then::kCompleted},
      {"replaced, no new executable",
       [](const ScratchInstall& s) {
         replaced(s);
         write_journal(s, "replaced");
       },
       Then::kCompleted},
      // The executable's rename had not reached the disk when the run was cut off.
      {"finished, the new executable not yet renamed in",
       [](const ScratchInstall& s) {
         replaced(s);
         new_exe_ready(s, std::string::npos);
         write_journal(s, "finished");
       },
       Then::kCompleted},
      {"finished, cut off in the cleanup",
       [](const ScratchInstall& s) {
         replaced(s);
         write_file(s.in_install(L"Tavrio.exe"), s.new_exe);
         write_journal(s, "finished");
         ::DeleteFileW(s.in_install(L"update_pending.json").c_str());
       },
       Then::kCompleted},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    // A report that the interrupted run may have left is stale once the update is done.
    if (c.then == Then::kCompleted) write_file(s.in_install(L"update_failed.txt"), "stale");
    c.interrupted(s);
    ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
    const bool new_version = c.then != Then::kRestored;
    if (c.then == Then::kCompleted) {
      EXPECT_EQ(log_messages(s.log), kCompletedLines);
    }
    if (c.then == Then::kUpdated) {
      EXPECT_EQ(log_messages(s.log), kSuccessLines);
    }
    if (c.then == Then::kRestored) {
      EXPECT_EQ(read_report(s).reason,
                "准备好的文件不完整，缺少 " + narrow(s.in_stage(L"_internal\\python312.dll")));
    }
    EXPECT_EQ(install_tree(s),
              new_version ? tree_after_success() : with_report(tree_before_update()));
    EXPECT_TRUE(read_file(s.in_install(L"Tavrio.exe")) == (new_version ? s.new_exe : s.old_exe));
    EXPECT_EQ(read_file(s.in_install(L"_internal\\python312.dll")),
              new_version ? kNewRuntime : kOldRuntime);
    EXPECT_FALSE(path_exists(s.stage));
    EXPECT_EQ(standin_records(s).size(), 1u) << "started once";
  }
}

TEST(Recovery, ARecoveryThatFailsDeletesNothingMore) {
  const ScratchInstall s = make_scratch_install();
  replaced(s);
  write_journal(s, "replaced");
  // The executable can be taken neither from <exe>.new nor from the staging folder.
  ASSERT_TRUE(::DeleteFileW(s.in_stage(L"Tavrio.exe").c_str()));
  ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
  const std::string reason = "恢复上次中断的更新失败：" + error_text_of(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(log_messages(s.log), (Lines{kBanner, kExited, "更新失败：" + reason}));
  EXPECT_EQ(read_report(s).reason, reason);
  // The backup, the new runtime, the journal and the staging folder stay; only the markers go.
  EXPECT_EQ(read_file(s.in_install(L"_internal_old\\python312.dll")), kOldRuntime);
  EXPECT_EQ(read_file(s.in_install(L"_internal\\python312.dll")), kNewRuntime);
  EXPECT_TRUE(path_exists(s.in_install(L"update.journal")));
  EXPECT_TRUE(path_exists(s.stage));
  EXPECT_FALSE(path_exists(s.in_install(L"update_pending.json")));
}

// Nothing named *.trash stays anywhere in the scratch folder.
void expect_no_rubbish(const ScratchInstall& s) {
  for (const std::wstring& entry : list_tree(s.root)) {
    EXPECT_EQ(entry.find(L".trash"), std::wstring::npos) << narrow(entry);
  }
}

TEST(CleanupAroundTheRestart, LeavesNoRubbishAfterEitherEnding) {
  for (bool succeed : {true, false}) {
    SCOPED_TRACE(succeed ? "success" : "failure");
    const ScratchInstall s = make_scratch_install();
    write_file(s.in_install(L"_internal_old\\left.txt"), "an old backup");
    if (!succeed) ::DeleteFileW(s.in_stage(L"_internal\\base_library.zip").c_str());
    ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
    expect_no_rubbish(s);
    EXPECT_FALSE(path_exists(s.stage));
    EXPECT_FALSE(path_exists(s.in_install(L"_internal_old")));
    EXPECT_FALSE(path_exists(s.in_install(L"update.journal")));
    EXPECT_EQ(standin_records(s).size(), 1u) << "started once";
  }
}

TEST(CleanupAroundTheRestart, RemovesRubbishOfExactlyItsOwnNames) {
  const ScratchInstall s = make_scratch_install();
  const Tree rubbish = {s.in_install(L"_internal_old.123.456789.trash"),
                        s.root + L"\\staging.1.2.trash"};
  const Tree alike = {s.in_install(L"_internal_old.123.456789.trash.keep"),
                      s.in_install(L"_internal_old.x.456789.trash"),
                      s.in_install(L"_internal.123.456789.trash"), s.root + L"\\staging.1.trash"};
  for (const std::wstring& folder : rubbish) write_file(folder + L"\\x.txt", "rubbish");
  for (const std::wstring& folder : alike) write_file(folder + L"\\x.txt", "not ours");
  const std::wstring link = s.in_install(L"_internal_old.7.8.trash");
  const std::string no_link = make_junction(link, s.root + L"\\canary");
  write_file(s.root + L"\\canary\\keep.txt", "behind a link");

  ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
  for (const std::wstring& folder : rubbish) EXPECT_FALSE(path_exists(folder)) << narrow(folder);
  for (const std::wstring& folder : alike) {
    EXPECT_EQ(read_file(folder + L"\\x.txt"), "not ours") << narrow(folder);
  }
  EXPECT_EQ(read_file(s.root + L"\\canary\\keep.txt"), "behind a link");
  if (no_link.empty()) {
    EXPECT_TRUE(path_exists(link)) << "a link of that name is left alone";
  } else {
    std::printf("[  SKIPPED ] the link case: %s\n", no_link.c_str());
  }
}

TEST(CleanupAroundTheRestart, AFolderThatCannotBeRenamedIsRemovedInPlace) {
  const ScratchInstall s = make_scratch_install();
  // A process whose current folder is the staging folder stops its rename (and its own
  // removal), not the removal of what it holds.
  const std::wstring marker = s.root + L"\\held";
  StartedProcess holder = spawn(built_exe(L"hold_open.exe"), {L"cwd", s.stage, L"60000", marker});
  ASSERT_TRUE(wait_until([&] { return path_exists(marker); }, 10000));
  ASSERT_TRUE(run_updater(s, updater_arguments(s)).finished);
  holder.end_now();
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
  EXPECT_EQ(list_tree(s.stage), Tree{}) << "the staging folder was not emptied in place";
  expect_no_rubbish(s);
  EXPECT_EQ(standin_records(s).size(), 1u);
}

}  // namespace
}  // namespace tavrio::test
