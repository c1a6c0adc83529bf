#include "update_sequence.h"

#include "completion.h"
#include "swap.h"
#include "update_log.h"
#include "wait_for_exit.h"

namespace tavrio::updater {
namespace {

// Steps from the package check to the replacement; the first failure ends the swap.
ReplacementOutcome swap_program(const UpdateRequest& request, const UpdatePaths& paths,
                                const UpdateLog& log, const Pause& pause, CleanupScope* scope) {
  // Both refusals come before anything is touched, and the staging directory is kept.
  if (FailureReason refused = check_exe_name(request)) {
    scope->keep_staging = true;
    scope->exe_name_refused = true;
    return {refused, false};
  }
  if (FailureReason refused = check_staging_placement(request)) {
    scope->keep_staging = true;
    return {refused, false};
  }
  if (FailureReason f = check_package(paths, log)) return {f, false};
  if (FailureReason f = clear_old_backup(paths)) return {f, false};
  if (FailureReason f = back_up_program_folder(paths, log, pause)) return {f, false};
  ReplacementOutcome replaced = replace_program(paths, log);
  scope->keep_backup = replaced.backup_stranded;
  return replaced;
}

}  // namespace

void run_update(const UpdateRequest& given, const Pause& pause) {
  const UpdateRequest request = with_absolute_paths(given);
  const UpdatePaths paths = derive_paths(request);
  const UpdateLog log(request.log_path);
  log.append(kStartBanner);
  wait_for_exit(request.process_id, log, pause);

  CleanupScope scope;
  ReplacementOutcome swapped = swap_program(request, paths, log, pause, &scope);
  if (swapped.failure) {
    end_with_failure(request, *swapped.failure, log);
  } else {
    refresh_uninstaller(request, log);
    end_with_success(log);
  }
  clean_up(request, paths, scope);
  // With a refused executable name there is nothing that could safely be started.
  if (!scope.exe_name_refused) restart_application(request, paths);
}

}  // namespace tavrio::updater
