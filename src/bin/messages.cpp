#include "bin/messages.h"

#include "bin/locations.h"
#include "common/bundle.h"
#include "common/text.h"

namespace tavrio::uninstall {

std::string failure_text(const CleanupCopyResult& failure) {
  const char* prefix = failure.step() == CopyStage::kLocateSelf ? kLocateSelfFailed
                       : failure.step() == CopyStage::kCopy     ? kCopyCleanupFailed
                                                                : kStartCleanupFailed;
  return prefix + error_text(failure.error());
}

std::string no_installation_text(const std::wstring& install_dir, bool line_break) {
  return kNoMainProgramBefore + display_form(bundle::kMainProgram) + kNoMainProgramAfter +
         (line_break ? "\n" : "") + display_form(install_dir);
}

std::string starting_line(const std::wstring& install_dir, bool delete_data) {
  return kStartingUninstall + display_form(install_dir) + kModeOpen +
         (delete_data ? kModeDeleteData : kModeKeepData) + kModeClose;
}

std::string uninstall_failed_line(const CleanupCopyResult& failure) {
  return kUninstallFailed + failure_text(failure);
}

std::string failure_box_text(const CleanupCopyResult& failure, const std::wstring& install_dir) {
  return failure_text(failure) + "\n\n" + kManualDeletionHint + display_form(install_dir);
}

std::string silent_start_failed_line(const CleanupCopyResult& failure) {
  return kStartCleanupFailed + failure_text(failure);
}

std::string others_kept_line(const std::wstring& install_dir) {
  return kAllRemovedOthersKept + display_form(install_dir);
}

std::string incomplete_line(const std::wstring& left, Status error) {
  return kCleanupIncomplete + display_form(left) + kLeftoverErrorSeparator + error_text(error);
}

std::string leftover_box_text(const std::wstring& left, Status error,
                              const std::wstring& uninstaller, bool uninstaller_left) {
  std::string text = incomplete_line(left, error);
  if (uninstaller_left) text += std::string("\n\n") + kRunAgainHint + display_form(uninstaller);
  return text;
}

std::string cannot_wait_line(Status error) {
  return kCannotWaitForCleanup + error_text(error);
}

}  // namespace tavrio::uninstall
