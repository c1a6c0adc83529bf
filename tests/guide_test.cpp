// The integration guide's examples, read out of docs/integration.md and run, so that the guide
// and the programs cannot drift apart: the registration as the guide writes it is what a real
// quiet uninstall removes, and the guide's Python starts the updater with a command line that
// the updater reads as meant, reads the failure reports the real updater writes, and names the
// lock the real updater holds.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/command_line.h"
#include "common/handles.h"
#include "common/process_ops.h"
#include "package_manifest.h"
#include "request.h"
#include "uninstall_e2e.h"
#include "updater_fixture.h"

namespace tavrio::test {
namespace {

using Args = std::vector<std::wstring>;
using Lines = std::vector<std::string>;

constexpr wchar_t kRegistrationKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tavrio";

// A file of the sources as this build saw them; under Wine a Linux path is reached through Z:.
std::wstring source_file(const std::string& relative) {
  std::wstring path = wide(std::string(TAVRIO_SOURCE_DIR) + "/" + relative);
  if (!path.empty() && path.front() == L'/') path = L"Z:" + path;
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  return path;
}

Lines lines_of(const std::string& text) {
  Lines lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// The fenced blocks that follow the guide's "<!-- example: NAME -->" markers, in order.
Lines guide_examples(const std::string& name) {
  const std::string marker = "<!-- example: " + name + " -->";
  Lines blocks;
  std::optional<std::string> block;
  bool marked = false;
  for (const std::string& line : lines_of(read_file(source_file("docs/integration.md")))) {
    if (block) {
      if (line == "```") {
        blocks.push_back(*block);
        block.reset();
      } else {
        *block += line + "\n";
      }
    } else if (line == marker) {
      marked = true;
    } else if (marked && line.rfind("```", 0) == 0) {
      block = std::string();
      marked = false;
    }
  }
  return blocks;
}

std::optional<std::wstring> registered(const wchar_t* value) {
  wchar_t data[2048];
  DWORD size = sizeof data;
  if (::RegGetValueW(HKEY_CURRENT_USER, kRegistrationKey, value, RRF_RT_REG_SZ, nullptr, data,
                     &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

// A key as reg.exe names it, with HKCU or HKLM in front.
struct RegistryKey {
  HKEY root;
  std::wstring path;
};

RegistryKey key_named(const std::wstring& name) {
  const size_t slash = name.find(L'\\');
  const std::wstring root = name.substr(0, slash);
  const std::wstring path = slash == std::wstring::npos ? L"" : name.substr(slash + 1);
  if (root == L"HKCU" || root == L"HKEY_CURRENT_USER") return {HKEY_CURRENT_USER, path};
  if (root == L"HKLM" || root == L"HKEY_LOCAL_MACHINE") return {HKEY_LOCAL_MACHINE, path};
  ADD_FAILURE() << "a key outside HKCU and HKLM: " << narrow(name);
  return {HKEY_CURRENT_USER, path};
}

bool key_exists(const RegistryKey& name) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(name.root, name.path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  ::RegCloseKey(key);
  return true;
}

// One line as typed at a command prompt: cmd expands the %VARIABLES% and hands the rest, quotes
// as written, to the program.
::testing::AssertionResult runs_in_cmd(const std::string& line) {
  ProcessStart start;
  start.program = L"cmd";
  start.command_line_override = L"cmd.exe /d /c " + wide(line);
  ProcessResult result;
  if (Status s = run_to_end(start, &result); !s.ok()) {
    return ::testing::AssertionFailure() << "cmd did not start: " << error_text(s);
  }
  if (result.exit_code != 0) {
    return ::testing::AssertionFailure() << line << "\nexit code " << result.exit_code << ": "
                                         << result.output << result.error_output;
  }
  return ::testing::AssertionSuccess();
}

TEST(GuideExamples, TheRegistrationIsRemovedByItsOwnQuietUninstall) {
  const Lines blocks = guide_examples("registration");
  ASSERT_EQ(blocks.size(), 1u);
  ::RegDeleteTreeW(HKEY_CURRENT_USER, kRegistrationKey);
  // The guide's per-user install folder, below a local folder with a space and Chinese in it.
  Uninstall u = make_uninstall(L"本地 资料\\Programs\\Tavrio");
  u.local = u.root + L"\\本地 资料";
  std::vector<RegistryKey> written;  // every key the lines name: "reg add <key> ..."
  {
    ScopedEnvironmentVariable local(L"LOCALAPPDATA", u.local);
    for (const std::string& line : lines_of(blocks[0])) {
      if (line.empty()) continue;
      const Args words = split_command_line(wide(line));
      ASSERT_GE(words.size(), 3u) << line;
      written.push_back(key_named(words[2]));
      EXPECT_TRUE(runs_in_cmd(line));
    }
  }
  const std::wstring uninstaller = u.install + L"\\卸载.exe";
  EXPECT_EQ(registered(L"InstallLocation"), u.install);
  EXPECT_EQ(split_command_line(registered(L"UninstallString").value_or(L"")),
            (Args{uninstaller, L"--wait"}));
  const std::wstring icon = registered(L"DisplayIcon").value_or(L"");
  EXPECT_TRUE(path_exists(icon.substr(0, icon.rfind(L',')))) << narrow(icon);
  const Args quiet = split_command_line(registered(L"QuietUninstallString").value_or(L""));
  ASSERT_EQ(quiet, (Args{uninstaller, L"--silent", L"--wait"}));

  // What Windows runs for a quiet uninstall, waiting for that one process. The stand-in
  // taskkill beside the uninstaller keeps the real one from ending other tests' programs.
  const RunResult r = run(quiet[0], Args(quiet.begin() + 1, quiet.end()), u.options());
  ASSERT_TRUE(r.finished);
  EXPECT_EQ(r.exit_code, 0u);
  for (const RegistryKey& key : written) {
    EXPECT_FALSE(key_exists(key)) << "left behind: " << narrow(key.path);
  }
  // Done when it ended: all that stays is what goes only after its end.
  for (const std::wstring& name : names_in(u.install)) {
    EXPECT_TRUE(name == L"Tavrio.exe" || name == L"taskkill.exe" || name == L"uninstall.exe" ||
                name == L"卸载.exe")
        << "still there when the quiet uninstall ended: " << narrow(name);
  }
  EXPECT_EQ(wait_for_outcome(u), (Lines{kScheduledLine, kKeepOutcome}));
  EXPECT_EQ(names_in(u.install), Args{L"taskkill.exe"});
  for (const RegistryKey& key : written) ::RegDeleteTreeW(key.root, key.path.c_str());
}

// Why the Python examples cannot run here, or nothing when they can.
std::string python_missing() {
  if (!running_under_wine()) {
    return "the guide's Python runs with the host's python3, which only Wine reaches";
  }
  if (run_linux("command -v python3 >/dev/null") != 0) return "python3 is not installed";
  return {};
}

// The guide's Python blocks run by tests/guide_example_driver.py on the given cases; one row of
// tab-separated fields per case.
std::vector<Lines> run_python_examples(const std::string& cases) {
  std::string examples;
  for (const std::string& block : guide_examples("python")) examples += block + "\n\n";
  EXPECT_FALSE(examples.empty()) << "the guide has no Python example";
  const std::wstring folder = scratch_dir();
  write_file(folder + L"\\examples.py", examples);
  write_file(folder + L"\\cases.txt", cases);
  const std::string dir = linux_path(folder);
  const std::string driver = std::string(TAVRIO_SOURCE_DIR) + "/tests/guide_example_driver.py";
  const int status = run_linux("python3 '" + driver + "' '" + dir + "/examples.py' '" + dir +
                               "/cases.txt' '" + dir + "/results.txt' 2>'" + dir + "/errors.txt'");
  EXPECT_EQ(status, 0) << read_file(folder + L"\\errors.txt");
  std::vector<Lines> rows;
  for (const std::string& line : read_lines(folder + L"\\results.txt")) {
    Lines& row = rows.emplace_back();
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
      row.push_back(line.substr(start, tab - start));
    }
    row.push_back(line.substr(start));
  }
  return rows;
}

TEST(GuideExamples, PythonStartsTheUpdaterWithTheRequestItMeans) {
  if (std::string missing = python_missing(); !missing.empty()) GTEST_SKIP() << missing;
  struct Case {
    std::wstring app_exe, stage, log;
    std::uint32_t pid;
    std::wstring install;  // as the updater must read it
  };
  const Case cases[] = {
      {L"C:\\Users\\张三\\AppData\\Local\\Programs\\Tavrio 测试\\Tavrio.exe",
       L"C:\\Users\\张三\\AppData\\Local\\Programs\\Tavrio 测试\\update 新版\\",
       L"C:\\Users\\张三\\AppData\\Local\\Tavrio\\日志 logs\\update.log", 4321,
       L"C:\\Users\\张三\\AppData\\Local\\Programs\\Tavrio 测试"},
      {L"D:\\Tavrio.exe", L"D:\\update\\", L"D:\\update.log", 4294967292u, L"D:\\"},
      {L"\\\\server\\share\\Tavrio\\Tavrio.exe", L"\\\\server\\share\\Tavrio\\update",
       L"\\\\server\\share\\logs\\update.log", 8, L"\\\\server\\share\\Tavrio"},
  };
  std::string input;
  for (const Case& c : cases) {
    input += "start\t" + narrow(c.app_exe) + "\t" + narrow(c.stage) + "\t" + narrow(c.log) + "\t" +
             std::to_string(c.pid) + "\n";
  }
  const std::vector<Lines> rows = run_python_examples(input);
  ASSERT_EQ(rows.size(), std::size(cases));
  for (size_t i = 0; i < rows.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(narrow(c.app_exe));
    ASSERT_EQ(rows[i].size(), 2u);
    const Args arguments = split_command_line(wide(rows[i][1]));
    ASSERT_FALSE(arguments.empty());
    const std::wstring separator = c.install.back() == L'\\' ? L"" : L"\\";
    EXPECT_EQ(arguments[0], c.install + separator + L"tavrio-updater.exe");
    const std::optional<updater::UpdateRequest> request = updater::read_update_request(arguments);
    ASSERT_TRUE(request) << rows[i][1];
    EXPECT_EQ(std::make_tuple(request->process_id, request->install_dir, request->exe_name,
                              request->staging_dir, request->log_path),
              std::make_tuple(c.pid, c.install, std::wstring(L"Tavrio.exe"), c.stage, c.log))
        << rows[i][1];
  }
}

TEST(GuideExamples, PythonReadsTheReportsTheUpdaterWrites) {
  if (std::string missing = python_missing(); !missing.empty()) GTEST_SKIP() << missing;
  auto arguments = [](const ScratchInstall& s, const std::wstring& exe, const std::wstring& stage) {
    return Args{L"--pid", L"0",       L"--app", s.install, L"--exe",
                exe,      L"--stage", stage,    L"--log",  s.log};
  };
  // Each arranges one failure and gives the updater's arguments for it.
  struct Case {
    const char* kind;
    std::function<Args(const ScratchInstall&)> arrange;
  };
  const Case cases[] = {
      {"incomplete",
       [&](const ScratchInstall& s) {
         ::DeleteFileW(s.in_stage(L"_internal\\base_library.zip").c_str());
         return arguments(s, L"Tavrio.exe", s.stage);
       }},
      {"old-backup",
       [&](const ScratchInstall& s) {
         write_file(s.in_install(L"_internal_old"), "a file where the old backup would be");
         return arguments(s, L"Tavrio.exe", s.stage);
       }},
      {"stage-refused",
       [&](const ScratchInstall& s) { return arguments(s, L"Tavrio.exe", s.install); }},
      {"exe-refused",
       [&](const ScratchInstall& s) { return arguments(s, L"..\\Tavrio.exe", s.stage); }},
  };
  std::string input;
  std::vector<Lines> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    const ScratchInstall s = make_scratch_install();
    const RunResult r = run_updater(s, c.arrange(s));
    ASSERT_TRUE(r.finished);
    const Report report = read_report(s);
    ASSERT_TRUE(report.well_formed) << read_file(s.in_install(L"update_failed.txt"));
    input += "report\t" + linux_path(s.install) + "\n";
    expected.push_back({"report", c.kind, report.reason, report.log, "1"});
  }
  EXPECT_EQ(run_python_examples(input), expected);
}

TEST(GuideExamples, PythonWritesAManifestTheUpdaterChecks) {
  if (std::string missing = python_missing(); !missing.empty()) GTEST_SKIP() << missing;
  const ScratchInstall intact = make_scratch_install();
  const ScratchInstall damaged = make_scratch_install();
  ASSERT_EQ(run_python_examples("manifest\t" + linux_path(intact.stage) + "\nmanifest\t" +
                                linux_path(damaged.stage) + "\n"),
            (std::vector<Lines>{{"manifest"}, {"manifest"}}));
  const updater::ParsedManifest parsed =
      updater::parse_manifest(read_file(intact.in_stage(L"package.manifest")));
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  Args listed;
  for (const updater::ManifestEntry& entry : parsed.entries) listed.push_back(entry.path);
  EXPECT_EQ(listed, (Args{L"Tavrio.exe", L"卸载.exe", L"_internal\\base_library.zip",
                          L"_internal\\python312.dll", L"_internal\\lib\\new_only.pyd"}));

  // The updater installs the stage whose manifest the example wrote.
  ASSERT_TRUE(run_updater(intact, updater_arguments(intact)).finished);
  EXPECT_EQ(log_messages(intact.log), kSuccessLines);
  EXPECT_EQ(install_tree(intact), tree_after_success());

  // One byte changed, the size kept: refused, and the report example knows the reason's kind.
  const std::wstring changed = damaged.in_stage(L"_internal\\base_library.zip");
  std::string bytes = read_file(changed);
  bytes[0] ^= 1;
  write_file(changed, bytes);
  ASSERT_TRUE(run_updater(damaged, updater_arguments(damaged)).finished);
  const std::string reason = "准备好的文件已损坏：" + narrow(changed);
  EXPECT_EQ(read_report(damaged).reason, reason);
  EXPECT_EQ(install_tree(damaged), with_report(tree_before_update()));
  EXPECT_EQ(run_python_examples("report\t" + linux_path(damaged.install) + "\n"),
            (std::vector<Lines>{{"report", "damaged", reason, narrow(damaged.log), "1"}}));
}

// The guide's handshake with the real updater. The application (the installed stand-in, running)
// lets the guide's Python start the updater: the command line and the event it made are what
// the real updater then gets, with that event created for real. A good stage: the event is set
// while nothing of the installation has moved; the application closes on it (as the example's
// exit does) and the update goes through. A damaged stage (its manifest written by the guide's
// own example, one byte changed after): the updater ends first, never setting the event nor
// touching the application, and the guide's Python, told so, reads the report it left and keeps
// running.
TEST(GuideExamples, PythonClosesOnlyWhenTheUpdaterIsReady) {
  if (std::string missing = python_missing(); !missing.empty()) GTEST_SKIP() << missing;
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a damaged stage" : "a good stage");
    const ScratchInstall s = make_scratch_install();
    StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), -1));
    ASSERT_TRUE(app.valid());
    ASSERT_TRUE(wait_for_records(s, 1));
    const std::vector<Lines> rows = run_python_examples(
        "manifest\t" + linux_path(s.stage) + "\nready\t" + narrow(s.in_install(L"Tavrio.exe")) +
        "\t" + narrow(s.stage) + "\t" + narrow(s.log) + "\t" + std::to_string(app.pid()) + "\n");
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[1].size(), 3u);
    const Args arguments = split_command_line(wide(rows[1][1]));
    const std::optional<updater::UpdateRequest> request = updater::read_update_request(arguments);
    ASSERT_TRUE(request) << rows[1][1];
    EXPECT_EQ(std::make_tuple(request->process_id, request->install_dir, request->staging_dir,
                              request->log_path, request->ready_event),
              std::make_tuple(app.pid(), s.install, s.stage, s.log,
                              std::optional<std::wstring>(wide(rows[1][2]))));
    const std::wstring changed = s.in_stage(L"_internal\\python312.dll");
    if (damaged) {
      std::string bytes = read_file(changed);
      bytes[0] ^= 1;
      write_file(changed, bytes);
    }
    UniqueHandle<InvalidIsNull> event(
        ::CreateEventW(nullptr, TRUE, FALSE, wide(rows[1][2]).c_str()));
    ASSERT_TRUE(event.valid());
    StartedProcess updater(spawn_updater(s, Args(arguments.begin() + 1, arguments.end())));
    ASSERT_TRUE(updater.valid());
    const HANDLE both[] = {event.get(), updater.get()};
    const DWORD first = ::WaitForMultipleObjects(2, both, FALSE, 60000);
    if (!damaged) {
      ASSERT_EQ(first, WAIT_OBJECT_0) << "the updater did not get ready";
      EXPECT_EQ(read_file(s.in_install(L"_internal\\python312.dll")), kOldRuntime);
      EXPECT_TRUE(path_exists(s.in_install(L"Tavrio.exe.new")));
      app.end_now();  // what the example's exit does
      ASSERT_TRUE(updater.ends_within(30000));
      ASSERT_TRUE(updater.family_ended_within(15000));
      EXPECT_EQ(log_messages(s.log), kSuccessLines);
      EXPECT_EQ(install_tree(s), tree_after_success());
      continue;
    }
    ASSERT_EQ(first, WAIT_OBJECT_0 + 1) << "the event was set for a damaged stage";
    EXPECT_EQ(::WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(app.ended_within(0)) << "the application was ended";
    EXPECT_EQ(updater.processes_started(), 1u) << "the application was started again";
    const std::string reason = "准备好的文件已损坏：" + narrow(changed);
    EXPECT_EQ(log_messages(s.log), (Lines{kBanner, "更新失败：" + reason}));
    EXPECT_EQ(install_tree(s), with_report(tree_before_update()));
    EXPECT_EQ(run_python_examples("ended\t" + linux_path(s.install) + "\n"),
              (std::vector<Lines>{{"ended", "damaged", reason, narrow(s.log)}}));
    app.end_now();
  }
}

bool mutex_exists(const std::wstring& name) {
  HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
  if (mutex != nullptr) ::CloseHandle(mutex);
  return mutex != nullptr;
}

// The name the guide's Python gives the updater's lock, from the install folder's volume serial
// and file index as the system gives them, is the name of the mutex the real updater holds while
// it works, and only then.
TEST(GuideExamples, PythonNamesTheLockTheUpdaterHolds) {
  if (std::string missing = python_missing(); !missing.empty()) GTEST_SKIP() << missing;
  const ScratchInstall s = make_scratch_install();
  UniqueFile folder(::CreateFileW(s.install.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(folder && ::GetFileInformationByHandle(folder.get(), &info));
  folder.reset();
  const std::uint64_t index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  const std::vector<Lines> rows = run_python_examples("lock\t" + narrow(s.install) + "\t" +
                                                      std::to_string(info.dwVolumeSerialNumber) +
                                                      "\t" + std::to_string(index) + "\n");
  ASSERT_EQ(rows.size(), 1u);
  ASSERT_EQ(rows[0].size(), 2u);
  const std::wstring name = wide(rows[0][1]);
  EXPECT_FALSE(mutex_exists(name)) << "held before any updater runs";
  // The application runs on for a while, and the updater holds the lock while it waits.
  StartedProcess app(spawn_application(s, s.in_install(L"Tavrio.exe"), 2));
  ASSERT_TRUE(app.valid());
  ASSERT_TRUE(wait_for_records(s, 1));
  StartedProcess updater(spawn_updater(s, updater_arguments(s, app.pid())));
  ASSERT_TRUE(updater.valid());
  EXPECT_TRUE(wait_until([&] { return mutex_exists(name); }, 10000))
      << "the updater holds no lock named " << rows[0][1];
  ASSERT_TRUE(updater.ends_within(30000));
  ASSERT_TRUE(updater.family_ended_within(15000));
  EXPECT_FALSE(mutex_exists(name)) << "the lock outlived the updater";
  EXPECT_EQ(log_messages(s.log), kSuccessLines);
}

}  // namespace
}  // namespace tavrio::test
