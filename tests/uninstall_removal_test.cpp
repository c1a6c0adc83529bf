// Silent uninstalls end to end: keep mode and all mode on sample installations, the local data
// folder's fallback, empty or relative variables, the install folder as current folder, and no
// temporary folder at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "common/handles.h"
#include "uninstall_e2e.h"

namespace tavrio::test {
namespace {

using Names = std::vector<std::wstring>;
using Lines = std::vector<std::string>;
using Args = std::vector<std::wstring>;

TEST(SilentUninstall, KeepModeRemovesOnlyTheProgramEntries) {
  Uninstall u = make_uninstall(L"Tavrio 安装");
  // Entries of the unexpected kind: a plain file "_internal", a folder "version.txt".
  remove_all(u.install + L"\\_internal");
  remove_all(u.install + L"\\version.txt");
  write_file(u.install + L"\\_internal", "not a folder");
  write_file(u.install + L"\\version.txt\\inner.txt", "a folder");
  set_read_only(u.install + L"\\Tavrio.exe", true);
  write_file(u.install + L"\\update.lock", "");
  write_file(u.install + L"\\我的笔记.txt", "the user's own");
  write_file(u.install + L"\\data\\bank.db", "kept");
  RunOptions options = u.options();
  const std::wstring killed = u.root + L"\\taskkill-args.txt";
  options.environment[L"ARGV_ECHO_OUT"] = killed;

  RunResult r = run(u.uninstaller(), {L"--silent"}, options);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, kKeepOutcome}));

  EXPECT_EQ(names_in(u.install),
            (Names{L"data", L"taskkill.exe", L"update.lock", L"我的笔记.txt"}));
  EXPECT_EQ(read_file(u.install + L"\\data\\bank.db"), "kept");
  EXPECT_EQ(list_tree(u.local_data()), Names{L"config.json"});
  // The main program was asked to stop by image name, by force.
  std::vector<std::string> args = read_lines(killed);
  ASSERT_EQ(args.size(), 4u);
  EXPECT_EQ(Lines(args.begin() + 1, args.end()), (Lines{"/F", "/IM", "Tavrio.exe"}));
  // The copy that did the work is the uninstaller itself, left in the temporary folder.
  EXPECT_TRUE(files_equal(u.cleanup_copy(), built_exe(L"uninstall.exe")));
}

// An installation in a folder that holds other things too (the Desktop, "D:\Games"): all mode
// removes the program, what the updater left and the local data; the rest and the folder stay.
TEST(SilentUninstall, AllModeRemovesOnlyWhatTheInstallationOwns) {
  Uninstall u = make_uninstall();
  for (const wchar_t* owned :
       {L"update_failed.txt", L"update_pending.json", L"update.lock", L"update.journal",
        L"update.journal.tmp", L"Tavrio.exe.new", L"_internal_old\\x.pyd",
        L"_internal_old.12.345.trash\\y.pyd", L"staging.6.78.trash\\Tavrio.exe"}) {
    write_file(u.install + L"\\" + owned, "the installation's");
  }
  set_read_only(u.install + L"\\_internal\\python312.dll", true);
  Names others = {L"taskkill.exe", L"我的笔记.txt", L"存档", L"_internal_old.12.trash",
                  L"_internal_old.1.2.trash"};
  write_file(u.install + L"\\我的笔记.txt", "the user's own");
  write_file(u.install + L"\\存档\\slot1.dat", "the user's own");
  write_file(u.install + L"\\_internal_old.12.trash\\z.txt", "not the updater's name");
  write_file(u.install + L"\\_internal_old.1.2.trash", "a file, not a folder");
  write_file(u.local + L"\\Other\\keep.txt", "not ours");

  RunResult r = run(u.uninstaller(), {L"--delete-data", L"--silent"}, u.options());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, others_kept_outcome(u.install)}));
  std::sort(others.begin(), others.end());
  EXPECT_EQ(names_in(u.install), others);
  EXPECT_EQ(read_file(u.install + L"\\存档\\slot1.dat"), "the user's own");
  EXPECT_FALSE(path_exists(u.local_data()));
  EXPECT_EQ(read_file(u.local + L"\\Other\\keep.txt"), "not ours");
}

// Both modes delete "卸载.exe" and then "Tavrio.exe" last, so that what a cut-off cleanup left
// behind is still an installation: running the uninstaller left there again finishes the job.
TEST(SilentUninstall, AnInterruptedCleanupIsFinishedByRunningItAgain) {
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "all, cut off before the local data" : "keep, cut off before 卸载.exe");
    Uninstall u = make_uninstall();
    write_file(u.install + L"\\notes.txt", "the user's own");
    for (const wchar_t* name : {L"_internal", L"uninstall.exe", L"tavrio-updater.exe"}) {
      remove_all(u.install + L"\\" + name);
    }
    Args args = {L"--silent"};
    if (all) args.push_back(L"--delete-data");
    ASSERT_TRUE(run(u.uninstaller(), args, u.options()).finished);
    EXPECT_EQ(wait_for_outcome(u),
              (Lines{kScheduledLine, all ? others_kept_outcome(u.install) : kKeepOutcome}));
    EXPECT_EQ(names_in(u.install), (Names{L"notes.txt", L"taskkill.exe"}));
    EXPECT_EQ(path_exists(u.local_data()), !all);
  }
}

// A pending update's stage in "<install>\update" is the installation's in both modes: it goes,
// and in all mode the folder with it. An "update" folder that holds anything a stage does not
// is someone else's: it stays whole, and so does the install folder.
TEST(SilentUninstall, TheStageInUpdateGoesAnUpdateFolderWithOtherFilesStays) {
  struct Case {
    const char* name;
    std::vector<const wchar_t*> in_update;
    bool all;
    bool stage;
  };
  const std::vector<const wchar_t*> stage = {L"Tavrio.exe", L"_internal\\python312.dll",
                                             L"卸载.exe", L"package.manifest"};
  const std::vector<const wchar_t*> users = {L"Tavrio.exe", L"我的存档.dat"};
  const Case cases[] = {
      {"keep, a stage", stage, false, true},
      {"all, a stage", stage, true, true},
      {"keep, the user's file", users, false, false},
      {"all, the user's file", users, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Uninstall u = make_uninstall();
    remove_all(u.install + L"\\taskkill.exe");  // the runner outside has its own
    for (const wchar_t* name : c.in_update) write_file(u.install + L"\\update\\" + name, "x");
    const std::vector<std::wstring> update_before = list_tree(u.install + L"\\update");
    Args args = {L"--silent", L"--dir", u.install};
    if (c.all) args.push_back(L"--delete-data");
    ASSERT_TRUE(run(outside_runner(u), args, u.options()).finished);
    const std::string outcome = !c.all    ? std::string(kKeepOutcome)
                                : c.stage ? std::string(kAllOutcome)
                                          : others_kept_outcome(u.install);
    EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, outcome}));
    if (c.stage) {
      EXPECT_EQ(path_exists(u.install), !c.all);
      if (!c.all) {
        EXPECT_EQ(names_in(u.install), Names{});
      }
    } else {
      EXPECT_EQ(names_in(u.install), Names{L"update"});
      EXPECT_EQ(list_tree(u.install + L"\\update"), update_before);
    }
  }
}

// Without a usable LOCALAPPDATA the local data folder is C:\Tavrio, and never a relative
// "Tavrio" beside the cleanup copy or the first process.
TEST(SilentUninstall, LocalDataFallsBackToTheDriveRoot) {
  const std::wstring fallback = L"C:\\Tavrio";
  if (path_exists(fallback) && !path_exists(fallback + L"\\tavrio-test-fallback.txt")) {
    GTEST_SKIP() << "C:\\Tavrio exists and is not this test's";
  }
  struct Case {
    const char* name;
    std::optional<std::wstring> value;
  };
  const Case cases[] = {{"LOCALAPPDATA unset", std::nullopt},
                        {"LOCALAPPDATA empty", L""},
                        {"LOCALAPPDATA relative", L"."}};
  for (const Case& c : cases) {
    Uninstall u = make_uninstall(L"install");   // not "Tavrio": that name is the decoys'
    remove_all(u.install + L"\\taskkill.exe");  // the runner outside has its own
    write_file(fallback + L"\\tavrio-test-fallback.txt", "x");
    write_file(u.temp + L"\\Tavrio\\decoy.txt", "beside the cleanup copy");
    write_file(u.root + L"\\Tavrio\\decoy.txt", "beside the first process");
    RunOptions options = u.options(u.root);
    options.environment[L"LOCALAPPDATA"] = c.value;
    RunResult r =
        run(outside_runner(u), {L"--silent", L"--delete-data", L"--dir", u.install}, options);
    ASSERT_TRUE(r.finished) << c.name;
    EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, kAllOutcome})) << c.name;
    EXPECT_FALSE(path_exists(fallback)) << c.name;
    EXPECT_FALSE(path_exists(u.install)) << c.name;
    EXPECT_TRUE(path_exists(u.temp + L"\\Tavrio\\decoy.txt")) << c.name;
    EXPECT_TRUE(path_exists(u.root + L"\\Tavrio\\decoy.txt")) << c.name;
    EXPECT_TRUE(path_exists(u.local_data() + L"\\config.json")) << c.name;
    remove_all(fallback);
  }
}

// USERPROFILE and APPDATA set to the empty text or to what is not a full path: the shortcuts
// are looked for in the local base folder, not in "Desktop" or "Microsoft\...\Programs" below
// the current folder (or the current folder of a drive).
TEST(SilentUninstall, ProfileVariablesThatAreNotFullPathsCountAsUnset) {
  struct Case {
    const char* name;
    std::function<std::wstring(const Uninstall&)> value;
  };
  const Case cases[] = {
      {"empty", [](const Uninstall&) { return std::wstring(); }},
      {"relative", [](const Uninstall&) { return std::wstring(L"."); }},
      {"drive-relative", [](const Uninstall& u) { return u.root.substr(0, 2) + L"."; }},
      {"rooted", [](const Uninstall& u) { return u.root.substr(2); }},
  };
  for (const Case& c : cases) {
    Uninstall u = make_uninstall();
    const std::wstring in_local = u.local + L"\\Tavrio.lnk";
    const std::wstring decoy_desktop = u.root + L"\\Desktop\\Tavrio.lnk";
    const std::wstring decoy_menu =
        u.root + L"\\Microsoft\\Windows\\Start Menu\\Programs\\Tavrio.lnk";
    for (const std::wstring& path : {in_local, decoy_desktop, decoy_menu}) write_file(path, "lnk");
    RunOptions options = u.options(u.root);
    options.environment[L"USERPROFILE"] = c.value(u);
    options.environment[L"APPDATA"] = c.value(u);
    RunResult r = run(u.uninstaller(), {L"--silent"}, options);
    ASSERT_TRUE(r.finished) << c.name;
    EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, kKeepOutcome})) << c.name;
    EXPECT_FALSE(path_exists(in_local)) << c.name;
    EXPECT_TRUE(path_exists(decoy_desktop)) << c.name;
    EXPECT_TRUE(path_exists(decoy_menu)) << c.name;
  }
}

// Started from Explorer or the Apps list, the uninstaller runs with the install folder as its
// current folder, and the cleanup copy inherits it; the folder must still go. (Run from outside,
// with the stand-in taskkill beside it there, so that the folder holds only its own entries.)
TEST(SilentUninstall, InstallFolderAsCurrentFolderIsRemovedToo) {
  struct Case {
    const char* name;
    std::wstring install_name;
    bool relative;
  };
  const Case cases[] = {
      {"full --dir", L"Tavrio", false},
      // A relative "--dir" resolves against the same current folder in both processes.
      {"relative --dir", L"Tavrio 安装", true},
  };
  for (const Case& c : cases) {
    Uninstall u = make_uninstall(c.install_name);
    remove_all(u.install + L"\\taskkill.exe");
    const Args args = {L"--silent", L"--delete-data", L"--dir", c.relative ? L"." : u.install};
    RunResult r = run(outside_runner(u), args, u.options(u.install));
    ASSERT_TRUE(r.finished) << c.name;
    EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, kAllOutcome})) << c.name;
    EXPECT_FALSE(path_exists(u.install)) << c.name;
    EXPECT_FALSE(path_exists(u.local_data())) << c.name;
  }
}

// When the system gives no temporary folder, nothing is written or copied anywhere else: no
// log and no cleanup copy in the current folder, and the installation stays as it is.
TEST(SilentUninstall, NoTemporaryFolderLeavesEverythingInPlace) {
  Uninstall u = make_uninstall();
  const std::wstring work = u.root + L"\\work";
  make_dirs(work);
  const std::wstring too_long = u.root + L"\\" + std::wstring(300, L't');
  {
    // The same probe in this process: does the system refuse such a TMP?
    ScopedEnvironmentVariable tmp(L"TMP", too_long);
    ScopedEnvironmentVariable temp(L"TEMP", too_long);
    if (system_gives_temp_folder()) {
      GTEST_SKIP() << "this system gives a temporary folder for an over-long TMP";
    }
  }
  RunOptions options = u.options(work);
  options.environment[L"TMP"] = too_long;
  options.environment[L"TEMP"] = too_long;
  options.wait_for_descendants = true;
  RunResult r = run(u.uninstaller(), {L"--silent", L"--delete-data"}, options);
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0u);
  EXPECT_EQ(list_tree(work), Names{});
  EXPECT_EQ(names_in(u.install), kSampleInstallNames);
  EXPECT_TRUE(path_exists(u.local_data() + L"\\config.json"));
  EXPECT_EQ(list_tree(u.temp), Names{});
}

}  // namespace
}  // namespace tavrio::test
