// The order of a whole update through its seams: the lock, the application held, the ready event.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "journal.h"
#include "update_sequence.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

using updater::JournalStep;

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

}  // namespace
}  // namespace tavrio::test
