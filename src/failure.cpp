#include "failure.h"

#include "common/text.h"
#include "messages.h"

namespace tavrio::updater {
namespace {

using enum Detail;

constexpr FailureRow kFailures[] = {
    {.kind = FailureKind::kNamedByRow},
    {.kind = FailureKind::kExeNameRefused,
     .text = kInvalidExeName,
     .detail = kSubject,
     .keeps = {.staging_dir = true, .exe_name_refused = true}},
    {.kind = FailureKind::kStagingRefused,
     .text = kStagingContainsInstall,
     .detail = kSubject,
     .keeps = {.staging_dir = true}},
    {.kind = FailureKind::kRecovery,
     .text = kRecoveryFailed,
     .detail = kError,
     .keeps = {.unsettled_swap = true}},
    {.kind = FailureKind::kPackageIncomplete, .text = kPackageIncomplete, .detail = kSubject},
    {.kind = FailureKind::kPackageDamaged, .text = kPackageDamaged, .detail = kSubject},
    {.kind = FailureKind::kManifestInvalid, .text = kManifestInvalid, .detail = kSubject},
    {.kind = FailureKind::kClearingBackup, .text = kClearingBackupFailed, .detail = kError},
    {.kind = FailureKind::kBackup,
     .text = kBackupLabel,
     .text_end = kBackupFailedSuffix,
     .detail = kError},
    {.kind = FailureKind::kReplacement, .text = kReplacementFailed, .detail = kError},
};

}  // namespace

const FailureRow& failure_row(FailureKind kind) {
  for (const FailureRow& row : kFailures) {
    if (row.kind == kind) return row;
  }
  return kFailures[0];  // not reached: every kind has its row
}

std::string failure_reason(const UpdateResult& failure) {
  const FailureRow& row = failure_row(failure.step());
  std::string text(row.text);
  text += row.text_end;
  switch (row.detail) {
    case Detail::kSubject:
      text += display_form(failure.subject());
      break;
    case Detail::kError:
      text += error_text(failure.error());
      break;
    case Detail::kNothing:
      break;
  }
  return text;
}

std::string update_failed_line(const UpdateResult& failure) {
  std::string line(kUpdateFailed);
  line += failure_reason(failure);
  return line;
}

}  // namespace tavrio::updater
