// What the updater's test files share: the steps and rows run by themselves, the pauses and
// waits in place of sleeping, a thread that holds an installation's lock as another updater
// would, and the real updater's runs on scratch installations.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "layout.h"
#include "failure.h"
#include "pause.h"
#include "plan.h"
#include "request.h"
#include "update_lock.h"
#include "update_log.h"
#include "updater_fixture.h"
#include "wait_for_exit.h"

namespace tavrio::test {

// The text a step's failure ends the update with; "" when the step went through.
inline std::string reason_of(const updater::UpdateResult& result) {
  return result.ok() ? std::string() : updater::failure_reason(result);
}

// One step of the plan by itself, on the layout of a request made full paths as the update makes
// it, with its attempts logged to `log` and its pauses given to `pause`.
inline updater::UpdateResult run_step(
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

inline const std::string kRollingBack = "替换失败，回滚中：";

// The 8.3 short name of an existing path; empty where the volume keeps no short names.
inline std::wstring short_name(const std::wstring& path) {
  wchar_t buffer[MAX_PATH];
  DWORD n = ::GetShortPathNameW(path.c_str(), buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || std::wstring(buffer, n) == path) return {};
  return std::wstring(buffer, n);
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

inline FILETIME filetime_now() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return now;
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

// The usual arguments with the one at `at` replaced (5: the exe, 7: the stage, 9: the log).
inline Args arguments_with(const ScratchInstall& s, size_t at, std::wstring value) {
  Args arguments = updater_arguments(s);
  arguments[at] = std::move(value);
  return arguments;
}

inline bool update(const ScratchInstall& s) {
  return run_updater(s, updater_arguments(s)).finished;
}

inline testing::AssertionResult ended_with_zero(const RunResult& result) {
  if (!result.finished) return testing::AssertionFailure() << "did not end";
  if (result.exit_code != 0) return testing::AssertionFailure() << "exit code " << result.exit_code;
  return testing::AssertionSuccess();
}

inline void expect_restarted_in_install(const ScratchInstall& s, size_t records = 1) {
  ASSERT_TRUE(wait_for_records(s, records)) << "the application was not started again";
  const std::vector<std::string> record = standin_records(s).back();
  ASSERT_GE(record.size(), 3u);
  EXPECT_EQ(record[1], "cwd " + narrow(s.install));
  EXPECT_EQ(record[2], "argc 0");
}

}  // namespace tavrio::test
