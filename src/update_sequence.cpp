#include "update_sequence.h"

#include "common/file_ops.h"
#include "journal.h"

#include "completion.h"
#include "messages.h"
#include "recovery.h"
#include "swap.h"
#include "update_log.h"
#include "wait_for_exit.h"

namespace tavrio::updater {
namespace {

enum class Ending { kSucceeded, kFailed, kCompletedInterruption };

struct Outcome {
  Ending ending = Ending::kSucceeded;
  StepFailure failure;
};

Outcome failed_with(const Failure& failure) {
  return {Ending::kFailed, failure};
}

// What was done while the application was still closing.
struct MadeEarly {
  bool new_executable = false;
  bool journal = false;
};

// The refusal of the staging directory's placement. Without the lock (the install directory
// could not be opened to name it) nothing can be proven about the staging directory either, as
// the placement check itself says for such an install directory: the run is refused the same
// way, so that no swap ever runs without the lock, even if the folder turned up in between.
StepFailure refusal_of_staging(const UpdateRequest& request, bool locked) {
  if (StepFailure refused = check_staging_placement(request)) return refused;
  if (!locked) return Failure{FailedStep::kStagingRefused, {}, request.staging_dir};
  return std::nullopt;
}

// While the application is still closing, the new executable is made ready and the journal
// started: neither is part of the installation, and their writes to disk are then off the time
// the application is away. Only when there is nothing to settle from an earlier run (no
// journal, the program folder in place), so that recovery finds the disk as it was left.
MadeEarly prepare_while_the_application_closes(const UpdateRequest& request,
                                               const UpdatePaths& paths, bool locked) {
  MadeEarly made;
  if (check_exe_name(request) || refusal_of_staging(request, locked)) return made;
  if (exists(paths.journal) || !exists(paths.program_folder)) return made;
  made.new_executable = make_new_executable(paths).ok();
  made.journal = made.new_executable &&
                 write_journal(paths.journal, {SwapStep::kStarted, paths.staging_dir}).ok();
  return made;
}

// From the refusals to the replacement; the first failure ends the swap.
Outcome swap_program(const UpdateRequest& request, const UpdatePaths& paths, const UpdateLog& log,
                     const Pause& pause, const MadeEarly& early, bool locked, Kept* kept) {
  // Both refusals come before anything is touched, and the staging directory is kept.
  if (StepFailure refused = check_exe_name(request)) {
    kept->staging_dir = true;
    kept->exe_name_refused = true;
    return failed_with(*refused);
  }
  if (StepFailure refused = refusal_of_staging(request, locked)) {
    kept->staging_dir = true;
    return failed_with(*refused);
  }
  // The journal this run started itself is nothing to settle.
  if (!early.journal) {
    const Recovery recovery = settle_interrupted_swap(paths, request.exe_name);
    if (recovery.settled == Settled::kFailed) {
      kept->everything = true;
      return failed_with(*recovery.failure);
    }
    if (recovery.settled == Settled::kCompleted) return {Ending::kCompletedInterruption, {}};
  }

  StepFailure before_backup = check_package(paths, log);
  if (!before_backup && !early.journal) before_backup = start_journal(paths, log);
  if (!before_backup) before_backup = clear_old_backup(paths);
  if (!before_backup && !early.new_executable) before_backup = prepare_new_executable(paths, log);
  if (!before_backup) before_backup = back_up_program_folder(paths, log, pause);
  if (before_backup) {
    abandon_swap(paths);
    return failed_with(*before_backup);
  }
  ReplacementOutcome replaced = replace_program(paths, log);
  kept->backup_folder = replaced.backup_stranded;
  if (replaced.failure) return failed_with(*replaced.failure);
  return {};
}

}  // namespace

void run_update(const UpdateRequest& given, const UpdateSeams& seams) {
  const UpdateRequest request = with_absolute_paths(given);
  const UpdatePaths paths = derive_paths(request);
  const UpdateLog log(request.log_path);
  log.append(kStartBanner);
  // The application exits right after starting us: its process is held before anything else is
  // done, or its id could name another program by the time we look.
  UniqueProcess application =
      open_application(request.process_id, paths.installed_exe, seams.updater_created);
  // Held until the run has ended, after the restart and the cleanup.
  const UpdateLock lock = take_update_lock(request.install_dir, seams.wait_on_lock);
  if (lock.state() == UpdateLock::State::kBusy) {
    // The other updater owns everything here, the markers and the restart included.
    log.append(kAnotherUpdaterRunning);
    return;
  }
  const MadeEarly early = prepare_while_the_application_closes(request, paths, lock.held());
  wait_for_exit(application.get(), log, seams.pause, seams.wait_on_application);
  application.reset();

  Kept kept;
  const Outcome outcome = swap_program(request, paths, log, seams.pause, early, lock.held(), &kept);
  switch (outcome.ending) {
    case Ending::kFailed:
      end_with_failure(paths, request.log_path, *outcome.failure, log);
      break;
    case Ending::kSucceeded:
      refresh_uninstaller(paths, log);
      end_with_success(log);
      break;
    case Ending::kCompletedInterruption:
      end_with_completed_interruption(paths, log);
      break;
  }
  // The application is back as soon as the installation is settled; the slow removal of whole
  // trees comes after.
  const Trash trash = clean_up_before_restart(paths, kept);
  // With a refused executable name there is nothing that could safely be started.
  if (!kept.exe_name_refused) restart_application(paths);
  make_journal_durable(paths);
  clean_up_after_restart(paths, trash, kept);
}

}  // namespace tavrio::updater
