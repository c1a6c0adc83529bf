// The common text forms: command-line splitting and building, process ids, joining, display
// form, error text, stamps and log lines.
#include <gtest/gtest.h>

#include <random>

#include "common/clock.h"
#include "common/command_line.h"
#include "common/log_line.h"
#include "common/os_error.h"
#include "common/path.h"
#include "common/text.h"
#include "support/test_support.h"

namespace tavrio {
namespace {

using Args = std::vector<std::wstring>;

TEST(SplitCommandLine, FollowsTheWindowsArgumentRules) {
  struct Case {
    const wchar_t* line;
    Args expected;
  };
  const Case cases[] = {
      {L"prog \"a b\"", {L"prog", L"a b"}},
      {L"prog a\\\"b", {L"prog", L"a\"b"}},
      {L"prog a\\\\\"b c\"", {L"prog", L"a\\b c"}},
      {L"prog a\\\\b", {L"prog", L"a\\\\b"}},
      {L"prog \"\"", {L"prog", L""}},
      {L"prog \"\" \"\"", {L"prog", L"", L""}},
      {L"prog \"unterminated", {L"prog", L"unterminated"}},
      {L"prog \"", {L"prog", L""}},
      {L"prog  \t a \t\tb  ", {L"prog", L"a", L"b"}},
      {L"prog \"a\"\"b\"", {L"prog", L"a\"b"}},
      {L"prog a\\\\\\\"b", {L"prog", L"a\\\"b"}},
      {L"\"C:\\Program Files\\t.exe\" x", {L"C:\\Program Files\\t.exe", L"x"}},
      {L"C:\\a\\b\\\"c d\" e", {L"C:\\a\\b\\c d", L"e"}},  // no escapes in the program path
      {L"prog", {L"prog"}},
      {L"", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(split_command_line(c.line), c.expected) << test::narrow(c.line);
  }
}

// Builds a command line from random argument lists full of quotes, backslash runs, blanks,
// empty arguments and non-ASCII text, and splits it back.
TEST(SplitCommandLine, RoundTripsEveryBuiltCommandLine) {
  std::mt19937 random(20261208);
  const std::wstring alphabet[] = {L"a",    L"Z", L"\"", L"\\",    L"\\\\",         L" ",    L"\t",
                                   L"卸载", L"é", L"-",  L"--dir", L"\xD83D\xDE00", L"\\\"", L"''"};
  const std::wstring program = L"C:\\Program Files\\Tavrio\\程序.exe";
  for (int round = 0; round < 12000; ++round) {
    Args args(random() % 6);
    for (std::wstring& arg : args) {
      size_t pieces = random() % 7;
      for (size_t i = 0; i < pieces; ++i) arg += alphabet[random() % std::size(alphabet)];
    }
    Args expected = {program};
    expected.insert(expected.end(), args.begin(), args.end());
    std::wstring line = build_command_line(program, args);
    ASSERT_EQ(split_command_line(line), expected) << test::narrow(line);
  }
}

TEST(BuildCommandLine, QuotesOnlyWhereNeeded) {
  EXPECT_EQ(build_command_line(L"C:\\p.exe", {}), L"\"C:\\p.exe\"");
  EXPECT_EQ(build_command_line(L"p", {L"a", L"", L"b c", L"d\\"}), L"\"p\" a \"\" \"b c\" d\\");
  EXPECT_EQ(build_command_line(L"p", {L"D:\\My Apps\\"}), L"\"p\" \"D:\\My Apps\\\\\"");
  EXPECT_EQ(build_command_line(L"p", {L"say \"hi\""}), L"\"p\" \"say \\\"hi\\\"\"");
}

TEST(ReadProcessId, AcceptsOnlyAnOptionalPlusAndDigits) {
  struct Case {
    const wchar_t* text;
    std::optional<std::uint32_t> expected;
  };
  const Case cases[] = {
      {L"+123", 123u},
      {L"4294967295", 4294967295u},
      {L"0", 0u},
      {L"007", 7u},
      {L"4294967296", std::nullopt},
      {L"-1", std::nullopt},
      {L"12a", std::nullopt},
      {L"+", std::nullopt},
      {L"", std::nullopt},
      {L"-", std::nullopt},
      {L" 1", std::nullopt},
      {L"++1", std::nullopt},
      {L"99999999999999999999", std::nullopt},
      {L"１２", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_process_id(c.text), c.expected) << test::narrow(c.text);
  }
}

TEST(Join, AddsOneSeparatorAndNormalisesNothing) {
  struct Case {
    const wchar_t* path;
    const wchar_t* name;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {L"C:\\", L"Tavrio", L"C:\\Tavrio"},
      {L"D:\\Apps", L"_internal", L"D:\\Apps\\_internal"},
      {L"C:", L"x", L"C:x"},
      {L"", L"Tavrio", L"Tavrio"},
      {L"D:/Apps/", L"x", L"D:/Apps/x"},
      {L"D:\\Apps\\..", L"x", L"D:\\Apps\\..\\x"},
      {L"D:\\Apps", L"E:\\other", L"E:\\other"},
      {L"rel", L"卸载.exe", L"rel\\卸载.exe"},
  };
  for (const Case& c : cases) EXPECT_EQ(join(c.path, c.name), c.expected);
}

TEST(DisplayForm, ReplacesOnlyUnpairedSurrogates) {
  EXPECT_EQ(display_form(L"C:\\安装\\a"), "C:\\安装\\a");
  EXPECT_EQ(display_form(std::wstring(L"x\xD800y")), "x\xEF\xBF\xBDy");
  EXPECT_EQ(display_form(std::wstring(L"\xDC00")), "\xEF\xBF\xBD");
  EXPECT_EQ(display_form(std::wstring(L"\xD83D\xDE00")), "\xF0\x9F\x98\x80");
  EXPECT_EQ(display_form(std::wstring(L"\xD83D")), "\xEF\xBF\xBD");
  EXPECT_EQ(widen("卸载 \xF0\x9F\x98\x80"), std::wstring(L"卸载 \xD83D\xDE00"));
  EXPECT_EQ(widen("a\xFF"
                  "b"),
            std::wstring(L"a\xFFFD"
                         L"b"));
}

TEST(ErrorText, IsTheSystemMessageThenTheCode) {
  for (DWORD code : {DWORD{2}, DWORD{5}, DWORD{17}, DWORD{32}, DWORD{267}}) {
    std::string text = error_text(OsError{code});
    std::string suffix = " (os error " + decimal(code) + ")";
    ASSERT_GT(text.size(), suffix.size());
    EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
    char last = text[text.size() - suffix.size() - 1];
    EXPECT_FALSE(last == ' ' || last == '\n' || last == '\r') << text;
  }
  // A code without a message says so, and still ends with the code.
  std::string unknown = error_text(OsError{0x2FFFFFFF & ~0x10000000});
  EXPECT_EQ(unknown.rfind("OS Error 805306367 (FormatMessageW() returned error ", 0), 0u)
      << unknown;
  const std::string tail = ") (os error 805306367)";
  EXPECT_EQ(unknown.substr(unknown.size() - tail.size()), tail);
}

constexpr std::uint64_t kUnixEpoch = 116444736000000000ull;
constexpr std::uint64_t kSecond = 10000000ull;

TEST(Stamp, IsUtcPlusEightWrappingAtMidnight) {
  EXPECT_EQ(stamp_from_filetime(kUnixEpoch + 16 * 3600 * kSecond), "00:00:00");
  EXPECT_EQ(stamp_from_filetime(kUnixEpoch + (16 * 3600 - 1) * kSecond), "23:59:59");
  EXPECT_EQ(stamp_from_filetime(kUnixEpoch + (16 * 3600 + 5 * 60 + 9) * kSecond + 9999999),
            "00:05:09");
  EXPECT_EQ(stamp_from_filetime(kUnixEpoch - kSecond), "08:00:00");
  EXPECT_EQ(stamp_from_filetime(0), "08:00:00");
  EXPECT_TRUE(test::is_stamp(time_of_day_stamp()));
}

TEST(AppendLogLine, AppendsStampedLinesAndNeverCreatesFolders) {
  const std::wstring dir = test::scratch_dir();
  const std::wstring log = dir + L"\\更新 log.txt";
  test::write_file(log, "old line without line feed");
  append_log_line(log, "第一行");
  append_log_line(log, "second");
  std::vector<std::string> lines = test::read_lines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 26), "old line without line feed");
  EXPECT_TRUE(test::is_stamp(lines[0].substr(26, 8)));
  EXPECT_EQ(lines[0].substr(34), "  第一行");
  EXPECT_TRUE(test::is_stamp(lines[1].substr(0, 8)));
  EXPECT_EQ(lines[1].substr(8), "  second");
  std::string bytes = test::read_file(log);
  EXPECT_EQ(bytes.back(), '\n');
  EXPECT_EQ(bytes.find('\r'), std::string::npos);

  append_log_line(dir + L"\\missing\\log.txt", "dropped");
  EXPECT_FALSE(test::path_exists(dir + L"\\missing"));
  append_log_line(L"", "dropped too");
  EXPECT_EQ(test::list_tree(dir), std::vector<std::wstring>{L"更新 log.txt"});
}

}  // namespace
}  // namespace tavrio
