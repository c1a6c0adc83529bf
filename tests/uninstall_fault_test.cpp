// The uninstaller cleanup's fault table: the cleanup copy's work, in process, in keep mode and in
// all mode, with each file call failing in turn, once (access denied) and from then on (an I/O
// error). After every run nothing but what the installation owns was touched, the setup log's
// outcome line names exactly what was left, and a second run without faults finishes the job.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "bin/cleanup_run.h"
#include "common/os_error.h"
#include "support/file_faults.h"
#include "support/scene.h"
#include "support/test_support.h"

namespace tavrio::test {
namespace {

constexpr char kKeepOutcome[] = "程序文件已删除，本地资料保留";
constexpr char kOthersKeptOutcome[] = "程序与本地资料已删除，安装目录里的其他文件已保留：";
constexpr char kIncompleteOutcome[] = "卸载未完成，残留：";
constexpr char kSeparator[] = "：";

// An installation that an update has left traces in, with a file of the user's inside and one
// beside it, and local data beside another program's.
struct Cleanup {
  Scene scene;
  std::wstring user_file;  // the user's, inside the install folder
  bool all = false;

  // What the mode removes, in the order it removes it; the install folder itself stays (it
  // holds the user's file).
  std::vector<std::wstring> owned() const {
    std::vector<std::wstring> names = {L"_internal", L"tavrio-updater.exe", L"version.txt",
                                       L"update"};
    std::vector<std::wstring> paths;
    for (const std::wstring& name : names) paths.push_back(scene.in_install(name));
    if (all) {
      // What the updater leaves, in the order all mode removes it (not all of it is here).
      for (const wchar_t* name : {L"update_failed.txt", L"update_pending.json", L"update.lock",
                                  L"update.journal", L"update.journal.tmp", L"Tavrio.exe.new",
                                  L"_internal_old", L"_internal_old.77.1234.trash"}) {
        paths.push_back(scene.in_install(name));
      }
      paths.push_back(scene.local_data());
    }
    paths.push_back(scene.in_install(L"uninstall.exe"));
    paths.push_back(scene.in_install(L"卸载.exe"));
    paths.push_back(scene.in_install(L"Tavrio.exe"));
    return paths;
  }
};

Cleanup make_cleanup(bool all) {
  SceneOptions options;
  options.installed = {{L"_internal\\python312.dll", "python runtime", {}},
                       {L"_internal\\lib\\module.pyd", "module", {}},
                       {L"Tavrio.exe", "main program", {}},
                       {L"卸载.exe", "uninstaller", {}},
                       {L"uninstall.exe", "second name", {}},
                       {L"tavrio-updater.exe", "updater", {}},
                       {L"version.txt", "1.0\n", {}},
                       {L"update\\Tavrio.exe", "staged main program", {}},
                       {L"update\\_internal\\python312.dll", "staged runtime", {}},
                       {L"update_failed.txt", "report", {}},
                       {L"update.journal", "journal", {}},
                       {L"_internal_old\\python312.dll", "old runtime", {}},
                       {L"_internal_old.77.1234.trash\\python312.dll", "older runtime", {}},
                       {L"notes.txt", "the user's own file", {}}};
  options.user_folders = true;
  Cleanup c{make_scene(scratch_dir(), options), {}, all};
  EXPECT_EQ(c.scene.failed, L"");
  c.user_file = c.scene.in_install(L"notes.txt");
  write_file(c.scene.root + L"\\beside.txt", "the user's file beside the installation");
  make_dirs(c.scene.local + L"\\Other");
  write_file(c.scene.local + L"\\Other\\settings.ini", "another program's data");
  return c;
}

// Everything below the scratch root with its bytes, but for what the mode may remove and the
// setup log.
std::map<std::wstring, std::string> outside(const Cleanup& c) {
  std::map<std::wstring, std::string> seen;
  const std::vector<std::wstring> owned = c.owned();
  for (const std::wstring& entry : list_tree(c.scene.root)) {
    const std::wstring path = c.scene.root + L"\\" + entry;
    const bool is_owned = std::any_of(owned.begin(), owned.end(), [&](const std::wstring& o) {
      return path == o || path == o + L"\\" || path.starts_with(o + L"\\");
    });
    if (is_owned || path == c.scene.setup_log()) continue;
    seen[entry] = entry.ends_with(L'\\') ? "" : read_file(path);
  }
  return seen;
}

// The lines of the setup log that say how a cleanup ended.
std::vector<std::string> outcome_lines(const Cleanup& c) {
  std::vector<std::string> lines;
  for (const std::string& message : log_messages(c.scene.setup_log())) {
    if (message.starts_with(kKeepOutcome) || message.starts_with(kOthersKeptOutcome) ||
        message.starts_with(kIncompleteOutcome) ||
        message.find("Tavrio.exe") != std::string::npos) {
      lines.push_back(message);
    }
  }
  return lines;
}

std::string complete_outcome(const Cleanup& c) {
  return c.all ? kOthersKeptOutcome + narrow(c.scene.install) : std::string(kKeepOutcome);
}

std::string no_installation(const Cleanup& c) {
  return "这个目录里没有 Tavrio.exe，未做任何删除：" + narrow(c.scene.install);
}

std::uint64_t cleanup(const Cleanup& c, const FaultPlan& plan) {
  ArmedFaults armed(plan);
  uninstall::run_cleanup({c.scene.install, c.all ? L"all" : L"keep", L"0"}, [](unsigned) {});
  return fault_record().calls;
}

// The environment of a cleanup copy: its temporary folder, local data and profile in the scene.
struct SceneEnvironment {
  explicit SceneEnvironment(const Scene& s)
      : tmp(L"TMP", s.temp),
        temp(L"TEMP", s.temp),
        local(L"LOCALAPPDATA", s.local),
        profile(L"USERPROFILE", s.profile),
        roaming(L"APPDATA", s.roaming) {}
  ScopedEnvironmentVariable tmp, temp, local, profile, roaming;
};

struct Tally {
  std::map<std::string, int> outcomes;
  std::vector<std::string> faults;
  void fault(std::string text) {
    if (faults.size() < 200) faults.push_back(std::move(text));
  }
};

// The first entry of the mode's order that is still there, or "".
std::wstring first_left(const Cleanup& c) {
  for (const std::wstring& path : c.owned()) {
    if (path_exists(path)) return path;
  }
  return {};
}

void check_case(bool all, std::uint64_t n, FaultMode mode, Tally* tally) {
  const bool once = mode == FaultMode::kOnce;
  const std::string what = std::string(all ? "all" : "keep") +
                           (once ? ", once" : ", from then on") + " at " + std::to_string(n);
  const Cleanup c = make_cleanup(all);
  const SceneEnvironment environment(c.scene);
  const std::map<std::wstring, std::string> before = outside(c);
  FaultPlan plan{.fail_at = n, .mode = mode, .spared = {c.scene.setup_log()}};
  if (!once) {
    plan.error = ERROR_IO_DEVICE;
    plan.status = static_cast<NTSTATUS>(0xC0000185);
  }
  cleanup(c, plan);
  const std::string failed_call = std::string(" (") + call_name(fault_record().first_failed) + " " +
                                  narrow(fault_record().first_failed_path) + ")";
  if (fault_record().failed == 0) tally->fault(what + ": no call failed");
  if (outside(c) != before) tally->fault(what + failed_call + ": something not owned changed");

  const std::vector<std::string> lines = outcome_lines(c);
  const std::wstring left = first_left(c);
  std::string outcome;
  if (lines.size() != 1) {
    tally->fault(what + failed_call + ": " + std::to_string(lines.size()) + " outcome lines");
  } else if (lines[0] == complete_outcome(c)) {
    outcome = "complete";
    if (!left.empty()) tally->fault(what + failed_call + ": complete, but left " + narrow(left));
  } else if (lines[0].starts_with(kIncompleteOutcome)) {
    outcome = "incomplete";
    // The folder above is named where its listing failed (a trash folder stayed unnamed), and,
    // with everything it owns gone, where all mode could not tell whether it was empty.
    const std::string error = kSeparator + error_text(OsError{plan.error});
    const bool trash_left = left.find(L".trash") != std::wstring::npos;
    const bool folder_named = lines[0] == kIncompleteOutcome + narrow(c.scene.install) + error;
    // Under an error that persists, an entry that cannot be looked at counts as left: the line
    // may name one before the first that is there.
    const std::vector<std::wstring> owned = c.owned();
    const auto first_there = std::find(owned.begin(), owned.end(), left);
    const bool unseen_named =
        !once && std::any_of(owned.begin(), first_there, [&](const std::wstring& path) {
          return lines[0] == kIncompleteOutcome + narrow(path) + error;
        });
    if (!(lines[0] == kIncompleteOutcome + narrow(left) + error && !left.empty()) &&
        !(folder_named && all && (left.empty() || trash_left)) && !unseen_named) {
      tally->fault(what + failed_call + ": \"" + lines[0] + "\" where " +
                   (left.empty() ? "nothing was left" : narrow(left) + " was left first"));
    }
  } else {
    outcome = "not taken for an installation";
    if (left != c.owned().front()) tally->fault(what + failed_call + ": removed without saying so");
  }
  tally->outcomes[std::string(all ? "all, " : "keep, ") + (once ? "once: " : "from then on: ") +
                  outcome]++;

  // A second run without faults finishes the job and says so; after a first run that did all of
  // it, the folder is no installation any more.
  const bool finished = left.empty();
  ::DeleteFileW(c.scene.setup_log().c_str());
  cleanup(c, {.spared = {c.scene.setup_log()}});
  const std::vector<std::string> second = outcome_lines(c);
  const std::string due = finished ? no_installation(c) : complete_outcome(c);
  if (second != std::vector<std::string>{due} || !first_left(c).empty()) {
    tally->fault(what + failed_call + ": the second run left " + narrow(first_left(c)) + ", " +
                 (second.empty() ? "no outcome" : second.back()));
  }
  if (outside(c) != before) tally->fault(what + ": the second run changed what it does not own");
}

TEST(UninstallFaultTable, EveryCallFailingInTurnTouchesOnlyTheInstallationAndTellsWhatWasLeft) {
  Tally tally;
  std::string counts;
  const std::uint64_t started = now_ms();
  std::uint64_t runs = 0;
  for (bool all : {false, true}) {
    std::uint64_t count = 0;
    {
      const Cleanup c = make_cleanup(all);
      const SceneEnvironment environment(c.scene);
      count = cleanup(c, {.spared = {c.scene.setup_log()}});
      ASSERT_EQ(outcome_lines(c), std::vector<std::string>{complete_outcome(c)});
      ASSERT_EQ(first_left(c), L"");
    }
    ASSERT_GT(count, 20u);
    counts += std::string("\n  ") + (all ? "all" : "keep") + " mode: " + std::to_string(count) +
              " calls in a clean run";
    for (FaultMode mode : {FaultMode::kOnce, FaultMode::kFromThenOn}) {
      for (std::uint64_t n = 1; n <= count; ++n, ++runs) check_case(all, n, mode, &tally);
    }
  }
  for (const auto& [outcome, number] : tally.outcomes) {
    counts += "\n  " + std::to_string(number) + "  " + outcome;
  }
  std::printf("cleanup fault table: %llu runs in %llu ms:%s\n",
              static_cast<unsigned long long>(runs),
              static_cast<unsigned long long>(now_ms() - started), counts.c_str());
  for (const std::string& fault : tally.faults) ADD_FAILURE() << fault;
}

}  // namespace
}  // namespace tavrio::test
