// The updater's fault table: a real update, in process, with each file and process call of the
// run failing in turn, once (access denied) and from then on (an I/O error). After every run the
// installation is one version whole, the report and the log tell the truth, the application is
// back, and a second run without faults ends with a whole version.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "common/bundle.h"
#include "common/trash.h"
#include "support/file_faults.h"
#include "update_sequence.h"
#include "updater_fixture.h"

namespace tavrio::test {
namespace {

constexpr DWORD kIoError = ERROR_IO_DEVICE;  // 1117
constexpr NTSTATUS kIoErrorStatus = static_cast<NTSTATUS>(0xC0000185);
constexpr char kRefreshFailed[] = "卸载入口更新失败：";

enum class Version { kOld, kNew, kNeither };

// What a run left in the install folder: the program's version (the executable, the runtime and
// the uninstaller), and what else lies there.
struct Installed {
  Version version = Version::kNeither;
  bool report = false;
  bool old_uninstaller = false;         // the new version with the previous uninstaller
  bool backup_kept = false;             // "_internal_old" with the whole previous runtime
  std::vector<std::wstring> leftovers;  // what the updater makes, left behind
  std::vector<std::wstring> unknown;    // what belongs to no version and not to the updater
};

struct Files {
  std::string exe, runtime, stdlib, module_name, module, uninstaller;
};

Files old_files(const ScratchInstall& s) {
  return {s.old_exe, kOldRuntime, kOldStdlib, "old_only.pyd", "old module\n", kOldUninstaller};
}
Files new_files(const ScratchInstall& s) {
  return {s.new_exe, kNewRuntime, kNewStdlib, "new_only.pyd", "new module\n", kNewUninstaller};
}

bool runtime_is(const std::wstring& folder, const Files& f) {
  return list_tree(folder) == std::vector<std::wstring>{L"base_library.zip", L"lib\\",
                                                        L"lib\\" + wide(f.module_name),
                                                        L"python312.dll"} &&
         read_file(folder + L"\\python312.dll") == f.runtime &&
         read_file(folder + L"\\base_library.zip") == f.stdlib &&
         read_file(folder + L"\\lib\\" + wide(f.module_name)) == f.module;
}

bool program_is(const ScratchInstall& s, const Files& f, bool* old_uninstaller) {
  if (read_file(s.in_install(L"Tavrio.exe")) != f.exe) return false;
  if (!runtime_is(s.in_install(L"_internal"), f)) return false;
  const std::string uninstaller = read_file(s.in_install(L"卸载.exe"));
  *old_uninstaller = f.exe == s.new_exe && uninstaller == kOldUninstaller;
  return uninstaller == f.uninstaller || *old_uninstaller;
}

bool made_by_updater(const std::wstring& name) {
  for (const wchar_t* own :
       {bundle::kPendingMarker, bundle::kUpdateLock, bundle::kJournal, bundle::kJournalTemporary,
        bundle::kNewMainProgram, bundle::kBackupFolder}) {
    if (name == own) return true;
  }
  return trash::is_trash_of(name, bundle::kBackupFolder);
}

// The names directly inside a folder.
std::vector<std::wstring> names_in(const std::wstring& folder) {
  std::vector<std::wstring> names;
  for (std::wstring entry : list_tree(folder)) {
    if (entry.ends_with(L'\\')) entry.pop_back();
    if (entry.find(L'\\') == std::wstring::npos) names.push_back(entry);
  }
  return names;
}

Installed look_at(const ScratchInstall& s) {
  Installed seen;
  if (program_is(s, old_files(s), &seen.old_uninstaller)) {
    seen.version = Version::kOld;
  } else if (program_is(s, new_files(s), &seen.old_uninstaller)) {
    seen.version = Version::kNew;
  }
  for (const std::wstring& name : names_in(s.install)) {
    if (name == L"Tavrio.exe" || name == L"_internal" || name == L"卸载.exe") continue;
    if (name == L"update_failed.txt") {
      seen.report = true;
    } else if (name == bundle::kBackupFolder && runtime_is(s.in_install(name), old_files(s))) {
      seen.backup_kept = true;
    } else if (made_by_updater(name)) {
      seen.leftovers.push_back(name);
    } else {
      seen.unknown.push_back(name);
    }
  }
  return seen;
}

std::string listed(const std::vector<std::wstring>& names) {
  std::string text;
  for (const std::wstring& name : names) text += " " + narrow(name);
  return text;
}

bool stage_whole(const ScratchInstall& s) {
  return list_tree(s.stage) == std::vector<std::wstring>{L"Tavrio.exe",
                                                         L"_internal\\",
                                                         L"_internal\\base_library.zip",
                                                         L"_internal\\lib\\",
                                                         L"_internal\\lib\\new_only.pyd",
                                                         L"_internal\\python312.dll",
                                                         L"卸载.exe"} &&
         read_file(s.in_stage(L"Tavrio.exe")) == s.new_exe &&
         runtime_is(s.in_stage(L"_internal"), new_files(s)) &&
         read_file(s.in_stage(L"卸载.exe")) == kNewUninstaller;
}

// The scratch root's entries outside the install and staging folders (the log and the stand-in's
// record aside, and the staging folder's trash, which only a run removes).
std::vector<std::wstring> outside(const ScratchInstall& s) {
  const std::wstring install = s.install.substr(s.root.size() + 1);
  const std::wstring stage = s.stage.substr(s.root.size() + 1);
  std::vector<std::wstring> rest;
  for (const std::wstring& entry : list_tree(s.root)) {
    const std::wstring top = entry.substr(0, entry.find(L'\\'));
    if (top == install || top == stage || top == L"update.log" || top == L"standin-record.txt" ||
        trash::is_trash_of(top, stage)) {
      continue;
    }
    rest.push_back(entry);
  }
  return rest;
}

bool logged(const ScratchInstall& s, const std::string& part) {
  for (const std::string& line : read_lines(s.log)) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

// One run of the update in this process: no application to wait for, pauses that return at once,
// started after everything the scratch installation holds was written.
struct UpdateRun {
  std::uint64_t calls = 0;
  std::uint64_t failed = 0;
  std::string first_failed;
  size_t starts = 0;
  bool all_ended = true;
};

UpdateRun update(const ScratchInstall& s, const FaultPlan& plan) {
  updater::UpdateSeams seams;
  seams.pause = [](unsigned) {};
  // Each run stands for an updater started just now, as the application starts one.
  ::GetSystemTimeAsFileTime(&seams.updater_created);
  {
    ArmedFaults armed(plan);
    updater::run_update({0, s.install, L"Tavrio.exe", s.stage, s.log}, seams);
  }
  FaultRecord& record = fault_record();
  UpdateRun run{
      record.calls, record.failed,
      std::string(call_name(record.first_failed)) + " " + narrow(record.first_failed_path),
      record.started.size()};
  // The restarted application has recorded itself and ended when its process has.
  for (const StartedByRun& started : record.started) {
    if (::WaitForSingleObject(started.process.get(), 15000) != WAIT_OBJECT_0) run.all_ended = false;
  }
  return run;
}

struct Tally {
  std::map<std::string, int> outcomes;
  std::vector<std::string> faults;
  void fault(std::string text) {
    if (faults.size() < 200) faults.push_back(std::move(text));
  }
};

void check_case(std::uint64_t n, FaultMode mode, Tally* tally) {
  const bool once = mode == FaultMode::kOnce;
  const std::string name = std::string(once ? "once" : "from then on") + " at " + std::to_string(n);
  const ScratchInstall s = make_scratch_install();
  const ScopedEnvironmentVariable record(L"STANDIN_RECORD", s.record);
  const std::vector<std::wstring> outside_before = outside(s);
  FaultPlan plan{.fail_at = n, .mode = mode, .spared = {s.log}};
  if (!once) {
    plan.error = kIoError;
    plan.status = kIoErrorStatus;
  }
  const UpdateRun first = update(s, plan);
  const std::string what = name + " (" + first.first_failed + ")";
  if (first.failed == 0) tally->fault(what + ": no call failed");
  const Installed after = look_at(s);
  const size_t records = standin_records(s).size();
  const bool whole = after.version != Version::kNeither;
  std::string outcome = after.version == Version::kNew   ? "new version"
                        : after.version == Version::kOld ? "old version kept"
                                                         : "neither version whole";
  if (after.report) outcome += " with report";
  if (after.backup_kept) outcome += ", backup kept";
  if (!after.leftovers.empty()) outcome += ", leftovers";
  if (after.old_uninstaller) outcome += ", uninstaller not refreshed";
  if (records == 0) outcome += ", application not started";
  tally->outcomes[std::string(once ? "once: " : "from then on: ") + outcome]++;

  if (outside(s) != outside_before) tally->fault(what + ": something outside changed");
  if (!first.all_ended) tally->fault(what + ": a started process did not end");
  if (!after.unknown.empty()) tally->fault(what + ": unknown entries:" + listed(after.unknown));
  if (once) {
    if (!whole) tally->fault(what + ": neither version whole");
    if (!after.leftovers.empty()) tally->fault(what + ": left" + listed(after.leftovers));
    if (whole && after.report != (after.version == Version::kOld)) {
      tally->fault(what + (after.report ? ": a report beside the new version"
                                        : ": the old version kept without a report"));
    }
    if (after.old_uninstaller && !logged(s, kRefreshFailed)) {
      tally->fault(what + ": the uninstaller was not refreshed and the log does not say so");
    }
    if (first.starts != 1 || records != 1) {
      tally->fault(what + ": the application started " + std::to_string(records) + " times");
    }
  } else if (!whole) {
    // Where no rename can put anything back, the log tells where the whole copies lie.
    const std::wstring backup = s.in_install(L"_internal_old");
    const bool backup_named = logged(s, "回滚失败，旧版本保留在 " + narrow(backup));
    if (!(backup_named && after.backup_kept) && !stage_whole(s)) {
      tally->fault(what + ": neither version whole and the log names no whole copy");
    }
  }

  // A second run without faults ends with a whole version, the new one when the stage was whole.
  const bool stage_was_whole = stage_whole(s);
  const UpdateRun second = update(s, {});
  const Installed settled = look_at(s);
  const size_t restarted = standin_records(s).size() - records;
  if (!settled.leftovers.empty() || !settled.unknown.empty()) {
    tally->fault(what + ": the second run left" + listed(settled.leftovers) +
                 listed(settled.unknown));
  }
  if (settled.version == Version::kNeither) {
    tally->fault(what + ": the second run left neither version whole");
  } else if (stage_was_whole && settled.version != Version::kNew) {
    tally->fault(what + ": the second run kept the old version of a whole stage");
  }
  if (second.starts != 1 || restarted != 1) {
    tally->fault(what + ": the second run started the application " + std::to_string(restarted) +
                 " times");
  }
  if (outside(s) != outside_before) tally->fault(what + ": the second run changed the outside");
}

TEST(UpdaterFaultTable, EveryCallFailingInTurnLeavesAWholeVersionAndATrueReport) {
  std::uint64_t count = 0;
  {
    const ScratchInstall s = make_scratch_install();
    const ScopedEnvironmentVariable record(L"STANDIN_RECORD", s.record);
    const UpdateRun clean = update(s, {.spared = {s.log}});
    count = clean.calls;
    ASSERT_EQ(log_messages(s.log), kSuccessLines);
    ASSERT_EQ(look_at(s).version, Version::kNew);
    ASSERT_EQ(clean.starts, 1u);
  }
  ASSERT_GT(count, 20u);
  Tally tally;
  const std::uint64_t started = now_ms();
  for (FaultMode mode : {FaultMode::kOnce, FaultMode::kFromThenOn}) {
    for (std::uint64_t n = 1; n <= count; ++n) check_case(n, mode, &tally);
  }
  std::string counts;
  for (const auto& [outcome, runs] : tally.outcomes) {
    counts += "\n  " + std::to_string(runs) + "  " + outcome;
  }
  std::printf("fault table: %llu calls in a clean run, 2 x %llu runs in %llu ms:%s\n",
              static_cast<unsigned long long>(count), static_cast<unsigned long long>(count),
              static_cast<unsigned long long>(now_ms() - started), counts.c_str());
  for (const std::string& fault : tally.faults) ADD_FAILURE() << fault;
}

// What made the application vanish or the installation unrepairable before, each held on purpose:
// a restart refused once, a rollback whose rename is refused for a while, and a rollback given up
// whose own journal step could not be written either, with a second run that repairs it.
TEST(UpdaterFaultTable, FilesHeldForAWhileEndWithTheApplicationBackAndATrueReport) {
  using calls::FileCall;
  const HeldFile exe_rename{.call = FileCall::kRename, .path_end = L"\\Tavrio.exe.new"};
  auto rollback = [](int times) {
    return HeldFile{.call = FileCall::kRename, .path_end = L"\\_internal_old", .times = times};
  };
  // The fourth journal write is the rollback's: started, backed up, replaced, rolling back.
  const HeldFile rollback_journal{
      .call = FileCall::kRename, .path_end = L"\\update.journal.tmp", .skip = 3};
  struct Case {
    const char* name;
    std::vector<HeldFile> held;
    Version version;
    std::vector<std::string> logged;  // parts of lines the log must hold
    std::string journal_step;         // the journal left behind, or "" for none
  };
  const Case cases[] = {
      {"a start refused once",
       {{.call = FileCall::kStartProcess, .path_end = L"\\Tavrio.exe"}},
       Version::kNew,
       {"启动主程序第 1 次失败：", "更新成功，重新启动"},
       ""},
      {"a rollback held for a while",
       {exe_rename, rollback(3)},
       Version::kOld,
       {"回滚第 3 次失败：", "更新失败：替换失败："},
       ""},
      {"a rollback given up, its journal step unwritten",
       {exe_rename, rollback(6), rollback_journal},
       Version::kNeither,
       {"回滚第 6 次失败：", "回滚失败，旧版本保留在 "},
       "step=replaced"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScratchInstall s = make_scratch_install();
    const ScopedEnvironmentVariable record(L"STANDIN_RECORD", s.record);
    const UpdateRun first = update(s, {.held = c.held, .spared = {s.log}});
    const Installed after = look_at(s);
    EXPECT_EQ(after.version, c.version);
    EXPECT_EQ(after.report, c.version != Version::kNew);
    for (const std::string& part : c.logged) EXPECT_TRUE(logged(s, part)) << part;
    EXPECT_EQ(logged(s, "回滚失败"), c.version == Version::kNeither);
    const std::string journal = read_file(s.in_install(L"update.journal"));
    EXPECT_EQ(journal.find(c.journal_step) != std::string::npos && !journal.empty(),
              !c.journal_step.empty());
    // Started in every case (a real application without "_internal" would not get far).
    EXPECT_EQ(standin_records(s).size(), 1u);
    // Without faults the next run puts the backup back whatever the journal says, and the
    // application is back; the stage lost its runtime to the rollback, so the old version stays.
    if (c.version != Version::kNeither) continue;
    EXPECT_TRUE(after.backup_kept);
    (void)update(s, {.spared = {s.log}});
    EXPECT_EQ(look_at(s).version, Version::kOld);
    EXPECT_EQ(standin_records(s).size(), 2u);
  }
}

}  // namespace
}  // namespace tavrio::test
