#include "failure.h"

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

}  // namespace tavrio::updater
