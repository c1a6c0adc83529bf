// Starting processes: the argument list a real C runtime receives, the program lookup, the
// current folder, and running a program to its end with its output.
#include <gtest/gtest.h>

#include "common/command_line.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "support/test_support.h"

namespace tavrio {
namespace {

// The C runtime of argv_echo is a peer no one here wrote: what it parses must be what we sent.
TEST(StartProcess, TheChildsRuntimeReceivesEveryArgumentUnchanged) {
  const std::wstring dir = test::scratch_dir();
  const std::vector<std::vector<std::wstring>> lists = {
      {L"--cleanup", L"D:\\My Apps\\Tavrio 安装\\", L"keep", L"1234"},
      {L"", L"a\"b", L"\\\\server\\share\\", L"tab\there", L"x\\\\\"y"},
      {L"\"quoted\"", L"ends with \\", L"\\", L"--dir", L"--silent"},
  };
  int n = 0;
  for (const auto& args : lists) {
    const std::wstring out = dir + L"\\echo" + std::to_wstring(n++) + L".txt";
    const test::ScopedEnvironmentVariable echo_out(L"ARGV_ECHO_OUT", out);
    ProcessStart start;
    start.program = test::built_exe(L"argv_echo.exe");
    start.arguments = args;
    UniqueProcess echo;
    ASSERT_TRUE(start_process(start, &echo).ok());
    // What it wrote is complete once it has ended.
    ASSERT_EQ(::WaitForSingleObject(echo.get(), 10000), WAIT_OBJECT_0);
    std::vector<std::string> got = test::read_lines(out);
    ASSERT_EQ(got.size(), args.size() + 1);
    for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(got[i + 1], test::narrow(args[i]));
  }
}

TEST(StartProcess, RunsInTheGivenCurrentFolder) {
  const std::wstring dir = test::scratch_dir();
  const std::wstring folder = dir + L"\\安装 folder";
  test::make_dirs(folder);
  const std::wstring record = dir + L"\\record.txt";
  ::SetEnvironmentVariableW(L"STANDIN_RECORD", record.c_str());
  ProcessStart start;
  start.program = test::built_exe(L"standin_app.exe");
  start.current_directory = folder;
  start.command_line_override = L"\"" + start.program + L"\"";
  Status started = start_process(start);
  ::SetEnvironmentVariableW(L"STANDIN_RECORD", nullptr);
  ASSERT_TRUE(started.ok());
  ASSERT_TRUE(test::wait_until(
      [&] { return test::read_file(record).find("end") != std::string::npos; }, 10000));
  std::vector<std::string> lines = test::read_lines(record);
  EXPECT_EQ(lines[1], "cwd " + test::narrow(folder));
  EXPECT_EQ(lines[2], "argc 0");
}

TEST(FindProgram, LooksInFixedFoldersButNeverTheCurrentOne) {
  std::wstring found;
  ASSERT_TRUE(find_program(L"cmd", &found).ok());
  EXPECT_TRUE(test::path_exists(found)) << test::narrow(found);
  EXPECT_TRUE(find_program(L"taskkill", &found).ok());
  // The running program's own folder comes first.
  ASSERT_TRUE(find_program(L"argv_echo", &found).ok());
  EXPECT_EQ(found, test::built_exe(L"argv_echo.exe"));
  EXPECT_TRUE(find_program(L"C:\\nowhere\\x.exe", &found).ok());
  EXPECT_EQ(found, L"C:\\nowhere\\x.exe");
  EXPECT_EQ(find_program(L"tavrio-no-such-tool", &found).code(),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  const std::wstring dir = test::scratch_dir();
  test::write_file(dir + L"\\cwd-only-tool.exe",
                   test::read_file(test::built_exe(L"argv_echo.exe")));
  wchar_t previous[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, previous);
  ::SetCurrentDirectoryW(dir.c_str());
  Status in_cwd = find_program(L"cwd-only-tool", &found);
  ::SetCurrentDirectoryW(previous);
  EXPECT_EQ(in_cwd.code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(RunToEnd, ReadsBothStreamsAndTheExitCode) {
  ProcessStart start;
  start.program = L"cmd";
  start.arguments = {L"/c", L"echo out-text& echo err-text 1>&2& exit 7"};
  start.creation_flags = CREATE_NO_WINDOW;
  ProcessResult result;
  ASSERT_TRUE(run_to_end(start, &result).ok());
  EXPECT_EQ(result.exit_code, 7u);
  EXPECT_NE(result.output.find("out-text"), std::string::npos) << result.output;
  EXPECT_NE(result.error_output.find("err-text"), std::string::npos) << result.error_output;

  // Much more output than a pipe buffer holds, on both streams.
  const std::wstring big_file = test::scratch_dir() + L"\\big.txt";
  test::write_file(big_file, std::string(100000, 'x'));
  start.arguments = {L"/c", L"type " + big_file + L"& type " + big_file + L" 1>&2"};
  ProcessResult big;
  ASSERT_TRUE(run_to_end(start, &big).ok());
  EXPECT_EQ(big.output.size(), 100000u);
  EXPECT_EQ(big.error_output.size(), 100000u);

  start.program = L"tavrio-no-such-tool";
  EXPECT_EQ(run_to_end(start, &result).code(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace tavrio
