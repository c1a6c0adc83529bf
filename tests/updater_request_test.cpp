// The update request: reading the command line, the paths it names, the staging folder's place
// and the executable's name.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/file_name.h"
#include "common/path.h"
#include "request.h"
#include "swap.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

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

}  // namespace
}  // namespace tavrio::test
