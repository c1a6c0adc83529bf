// The failure report an update that failed ends with.
#include <gtest/gtest.h>

#include <windows.h>

#include "ending.h"
#include "messages.h"
#include "updater_test_helpers.h"

namespace tavrio::test {
namespace {

TEST(FailureReport, IsFourLinesWithoutALineEndAfterTheLast) {
  const std::string head = "更新失败，已保留原版本。\n时间：01:02:03\n原因：";
  EXPECT_EQ(updater::failure_report_text("01:02:03", "原因X", L"C:\\logs\\u.log"),
            head + "原因X\n详细日志：C:\\logs\\u.log");
  EXPECT_EQ(updater::failure_report_text("01:02:03", "r", L""), head + "r\n详细日志：");
  // A lone surrogate in the log path shows as U+FFFD.
  EXPECT_EQ(updater::failure_report_text("01:02:03", "r", std::wstring(L"a\xD800")),
            head + "r\n详细日志：a\xEF\xBF\xBD");
}

TEST(FailureReport, ReplacesTheContentOfAnEarlierLongerReport) {
  const std::wstring path = scratch_dir() + L"\\update_failed.txt";
  write_file(path, std::string(5000, 'x'));
  updater::write_failure_report(path, "short");
  EXPECT_EQ(read_file(path), "short");
}

}  // namespace
}  // namespace tavrio::test
