// The update log: every message the updater writes, and the one way it writes them.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tavrio::updater {

inline constexpr std::string_view kStartBanner = "=== 更新开始（Native 更新器）===";
inline constexpr std::string_view kForcedEnd = "主程序没有按时退出，强制结束";
inline constexpr std::string_view kMainProgramExited = "主程序已退出";
inline constexpr std::string_view kCheckPassed = "校验通过";
// "备份旧目录" opens both the line of a failed attempt and the failure reason after the sixth.
inline constexpr std::string_view kBackupLabel = "备份旧目录";
inline constexpr std::string_view kAttemptPrefix = "第 ";
inline constexpr std::string_view kAttemptFailed = " 次失败：";
inline constexpr std::string_view kRollingBack = "替换失败，回滚中：";
// The rollback could not move the backup back: where the previous runtime now lies.
inline constexpr std::string_view kRollbackFailed = "回滚失败，旧版本保留在 ";
inline constexpr std::string_view kRollbackFailedSeparator = "：";
inline constexpr std::string_view kFilesReplaced = "文件已替换";
inline constexpr std::string_view kUninstallerRefreshed = "卸载入口已更新";
inline constexpr std::string_view kUpdateFailed = "更新失败：";
inline constexpr std::string_view kUpdateSucceeded = "更新成功，重新启动";

// Appends time-stamped lines to the file named by "--log". A line that cannot be written is
// dropped; the update goes on, and the next line tries again.
class UpdateLog {
 public:
  explicit UpdateLog(std::wstring path) : path_(std::move(path)) {}
  void append(std::string_view message) const;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace tavrio::updater
