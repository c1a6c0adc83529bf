// The ways an update can fail, each one row of one table: the kind, the text its failure is
// reported with and what the cleanup must leave in place after it. Adding a kind is adding a row.
#pragma once

#include <string>
#include <string_view>

#include "common/step_result.h"

namespace tavrio::updater {

// What ended the update.
enum class FailureKind {
  kNamedByRow,         // given by a row's action: the plan names it after the row's failure
  kExeNameRefused,     // subject: the "--exe" value
  kStagingRefused,     // subject: the staging directory
  kRecovery,           // error: what stopped settling the interrupted run
  kPackageIncomplete,  // subject: the first missing file
  kPackageDamaged,     // subject: the first file that does not match the package manifest
  kManifestInvalid,    // subject: why the package manifest cannot be used (a text)
  kClearingBackup,     // error
  kBackup,             // error of the last attempt
  kReplacement,        // error
};

// What a row of the update gives: success, or its failure with the OS error or the subject.
using UpdateResult = StepResult<FailureKind>;

// What the cleanup must leave where it is.
struct Kept {
  // The rollback could not move the backup back: it is the previous runtime.
  bool backup_folder = false;
  // The staging directory was refused: it contains the installation.
  bool staging_dir = false;
  // Settling an interrupted run failed: nothing more is deleted but the two markers.
  bool unsettled_swap = false;
  // The executable name was refused: no path made from it is touched or started.
  bool exe_name_refused = false;
};

// What follows a failure's text in its reason.
enum class Detail { kNothing, kSubject, kError };

struct FailureRow {
  FailureKind kind;
  std::string_view text = {};      // opens the reason
  std::string_view text_end = {};  // behind `text`, where that is a label other lines share
  Detail detail = Detail::kNothing;
  Kept keeps = {};
};

// The row of a kind.
const FailureRow& failure_row(FailureKind kind);

// The one place a failure becomes the text of "更新失败：" and of the report, from its row.
std::string failure_reason(const UpdateResult& failure);
// "更新失败：" and the reason.
std::string update_failed_line(const UpdateResult& failure);

}  // namespace tavrio::updater
