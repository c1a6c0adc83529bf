// The real tavrio-updater.exe on scratch installations, end to end.
#include <gtest/gtest.h>

#include <windows.h>

#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "common/handles.h"
#include "common/path.h"
#include "support/mapped_drive.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

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
