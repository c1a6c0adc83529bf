#include "bin/removal.h"

#include <windows.h>

#include <optional>

#include "bin/cleanup_report.h"
#include "bin/locations.h"
#include "bin/message_box.h"
#include "bin/messages.h"
#include "bin/commands.h"
#include "common/command_line.h"
#include "common/clock.h"
#include "common/file_ops.h"
#include "common/tree_removal.h"
#include "common/handles.h"
#include "common/identity.h"
#include "common/log_line.h"
#include "common/path.h"
#include "common/process_ops.h"
#include "common/stage.h"
#include "common/step_result.h"
#include "common/text.h"
#include "common/bundle.h"

namespace tavrio::uninstall {
namespace {

constexpr wchar_t kKillTool[] = L"taskkill";

// The program entries that both modes remove first. The uninstaller, under both its names, and
// then the main program go last: until then the folder can be uninstalled again, and the main
// program alone is what makes it an installation. A first process that waits for the copy still
// runs from one of the uninstaller's names while the rest goes.
constexpr const wchar_t* kProgramEntries[] = {
    bundle::kProgramFolder,
    bundle::kUpdater,
    bundle::kVersionFile,
};

// What the updater leaves in the install directory, under the names it gives them: all mode
// removes these too, and the updater's trash folders (real folders only).
constexpr const wchar_t* kUpdaterEntries[] = {
    bundle::kFailureReport,    bundle::kPendingMarker,  bundle::kUpdateLock,   bundle::kJournal,
    bundle::kJournalTemporary, bundle::kNewMainProgram, bundle::kBackupFolder,
};

// The first process is polled, never waited on: 40 polls 300 ms apart, then a pause that lets
// the system release its image file after it has gone.
constexpr int kExitPolls = 40;
constexpr unsigned kFirstProcessPollMs = 300;
constexpr unsigned kSettleMs = 400;

// An ended process can still be opened as long as anyone holds a handle on it: the Apps list, a
// script or an installer that waits on the uninstaller keeps it for as long as it likes. So a
// process counts as running only while its exit code says so.
bool process_running(DWORD pid) {
  UniqueProcess process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return false;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process.get(), &code)) return true;  // cannot tell: keep waiting
  return code == STILL_ACTIVE;
}

void wait_for_first_process(const std::wstring& pid_text, Pause pause) {
  std::optional<std::uint32_t> pid = read_process_id(pid_text);
  for (int poll = 0; poll < kExitPolls; ++poll) {
    if (!pid || *pid == 0 || !process_running(*pid)) break;
    pause(kFirstProcessPollMs);
  }
  pause(kSettleMs);
}

// The cleanup copy inherits the first process's current folder, usually the install directory
// itself (Explorer and the Apps list start programs that way), and a process's current folder
// cannot be removed. So the install directory is first made a full path against that folder,
// exactly as the first process would have resolved it, and then the copy moves to its own
// folder, the temporary folder, or else to the system folder. Should it stay where it is, the
// removal still deletes everything it can; only the folder itself then stays behind.
std::wstring leave_install_directory(const std::wstring& install_dir) {
  // An empty text has no full path; it keeps meaning what it meant to the first process.
  if (install_dir.empty()) return install_dir;
  std::wstring absolute = full_path(install_dir);
  std::wstring refuge;
  if (find_temp_folder(&refuge).ok() && ::SetCurrentDirectoryW(refuge.c_str())) return absolute;
  wchar_t system[MAX_PATH];
  UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  if (n > 0 && n < MAX_PATH) ::SetCurrentDirectoryW(system);
  return absolute;
}

bool gone(Status removed) {
  return removed.ok() || removed.code() == ERROR_FILE_NOT_FOUND ||
         removed.code() == ERROR_PATH_NOT_FOUND;
}

// Success, or the first entry that a removal left in place and the error that kept it there.
enum class RemovalStep { kEntryLeft };
using Leftover = StepResult<RemovalStep>;

// A removal that failed only counts when the entry is there, or may be: a removal can fail
// before it found out that there was nothing to remove (the open of the folder above it failed).
bool known_absent(const std::wstring& path) {
  DWORD attributes = 0;
  const Status read = entry_attributes(path, &attributes);
  return !read.ok() && gone(read);
}

void note(Leftover* first, const std::wstring& path, Status removed) {
  if (first->ok() && !gone(removed) && !known_absent(path)) {
    *first = Leftover::failed(RemovalStep::kEntryLeft, removed, path);
  }
}

// The outcome line says what was done only when all of it was done.
void log_outcome(const Leftover& left, std::string_view done) {
  if (left.ok()) {
    append_setup_log(done);
    return;
  }
  append_setup_log(incomplete_line(left.subject(), left.error()));
}

// A folder as a tree (a link as a link), anything else as a file.
Status remove_entry(const std::wstring& path) {
  Status removed = remove_tree(path);
  return removed.code() == ERROR_DIRECTORY ? remove_file(path) : removed;
}

// What both modes remove from the install directory, in order, noting the first that stayed.
class Removal {
 public:
  Removal(const std::wstring& install_dir, Pause pause)
      : install_dir_(install_dir), pause_(pause) {}

  void entry(const std::wstring& name) {
    const std::wstring path = join(install_dir_, name);
    note(&left_, path, remove_entry(path));
  }
  void tree(const std::wstring& path) { note(&left_, path, remove_tree(path)); }

  // The updater's trash folders: its exact names, real folders only, never a link.
  // A folder that cannot be listed, or a trash name whose kind cannot be read, is what was left.
  void trash_folders() {
    std::vector<std::wstring> names;
    if (Status listed = list_names(install_dir_, &names); !listed.ok()) {
      note(&left_, install_dir_, listed);
      return;
    }
    for (const std::wstring& name : names) {
      if (!bundle::is_trash_name(name)) continue;
      const std::wstring path = join(install_dir_, name);
      DWORD attributes = 0;
      if (Status read = entry_attributes(path, &attributes); !read.ok()) {
        note(&left_, path, read);
      } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                 ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 || is_directory(path))) {
        entry(name);
      }
    }
  }

  // A stage the application left in "<install>\update": it is the installation's as long as it
  // holds nothing but what a stage holds.
  // One that cannot be read is what was left.
  void stage() {
    const std::wstring folder = join(install_dir_, bundle::kStageFolder);
    bool only_a_stage = false;
    if (Status read = bundle::read_stage(folder, bundle::kMainProgram, &only_a_stage); !read.ok()) {
      note(&left_, folder, read);
    } else if (only_a_stage) {
      entry(bundle::kStageFolder);
    }
  }

  // Last, the uninstaller and then the main program, and only while everything else went: what
  // stays can then still be removed by running the uninstaller again, and the folder is still
  // an installation for it. The first process may still have held its own image a moment ago:
  // the uninstaller gets one more try.
  void anchors() {
    if (left_.ok()) entry(bundle::kUninstaller);
    if (!left_.ok()) return;
    const std::wstring uninstaller = join(install_dir_, bundle::kShippedUninstaller);
    Status removed = remove_entry(uninstaller);
    if (!gone(removed)) {
      pause_(kFirstProcessPollMs);
      removed = remove_entry(uninstaller);
    }
    note(&left_, uninstaller, removed);
    if (left_.ok()) entry(bundle::kMainProgram);
  }

  const Leftover& left() const { return left_; }

 private:
  const std::wstring& install_dir_;
  const Pause pause_;
  Leftover left_;
};

// What the cleanup run was asked for, read from its arguments.
struct CleanupRun {
  std::wstring install_dir;
  bool all = false;
  std::wstring pid_text;
  bool from_window = false;
  bool first_process_waits = false;
};

CleanupRun read_cleanup_run(const std::vector<std::wstring>& arguments) {
  CleanupRun run;
  run.install_dir = arguments[0];
  run.all = arguments[1] == kAllModeWord;
  run.pid_text = arguments[2];
  for (size_t i = 3; i < arguments.size(); ++i) {
    run.from_window = run.from_window || arguments[i] == kFromWindowWord;
    run.first_process_waits = run.first_process_waits || arguments[i] == kFirstProcessWaitsWord;
  }
  return run;
}

// Everything the mode removes but the anchors and the folder: keep mode the program entries and
// the stage; all mode also what the updater leaves there and the local data. What the
// installation does not own stays (a user who installed into the Desktop or "D:\Games").
void remove_owned_entries(Removal& removal, bool all) {
  for (const wchar_t* entry : kProgramEntries) removal.entry(entry);
  removal.stage();
  if (!all) return;
  for (const wchar_t* entry : kUpdaterEntries) removal.entry(entry);
  removal.trash_folders();
  removal.tree(local_data_folder());
}

// The anchors, then in all mode the folder once it is empty; the outcome line.
void finish_removal(Removal& removal, const std::wstring& install_dir, bool all) {
  removal.anchors();
  Leftover left = removal.left();
  if (!all) {
    log_outcome(left, kProgramRemovedDataKept);
    return;
  }
  bool others_stay = false;
  if (left.ok()) {
    const Status folder = remove_empty_folder(install_dir);
    others_stay = folder.code() == ERROR_DIR_NOT_EMPTY;
    if (!others_stay) note(&left, install_dir, folder);
  }
  log_outcome(left, others_stay ? others_kept_line(install_dir) : std::string(kAllRemoved));
}

// The user who started the uninstall from the window learns what stayed; the box has no owner,
// the window is gone by now.
void show_leftover(const std::wstring& install_dir, const Leftover& left) {
  const std::wstring uninstaller = join(install_dir, bundle::kShippedUninstaller);
  show_message(nullptr,
               leftover_box_text(left.subject(), left.error(), uninstaller, exists(uninstaller)),
               kWindowTitle);
}

}  // namespace

bool is_install_directory(const std::wstring& install_dir) {
  return !is_volume_root(install_dir) && exists(join(install_dir, bundle::kMainProgram));
}

void append_setup_log(std::string_view message) {
  std::wstring folder;
  if (!find_temp_folder(&folder).ok()) return;  // never a relative path
  append_log_line(join(folder, bundle::kSetupLog), message);
}

void stop_main_program() {
  ProcessStart kill;
  kill.program = kKillTool;
  kill.arguments = {L"/F", L"/IM", bundle::kMainProgram};
  kill.creation_flags = CREATE_NO_WINDOW;
  ProcessResult ignored;
  (void)run_to_end(kill, &ignored);
}

void remove_shortcuts() {
  for (const std::wstring& folder : shortcut_folders()) {
    (void)remove_file(join(folder, bundle::kShortcut));
  }
}

void remove_registration() {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, bundle::kRegistrationKey);
}

void run_preparatory_steps() {
  stop_main_program();
  remove_shortcuts();
  remove_registration();
}

int run_cleanup(const std::vector<std::wstring>& cleanup_arguments, Pause pause) {
  if (cleanup_arguments.size() < 3) return 2;
  const CleanupRun run = read_cleanup_run(cleanup_arguments);
  const std::wstring install_dir = leave_install_directory(run.install_dir);
  const std::optional<std::uint32_t> first_pid = read_process_id(run.pid_text);
  // A first process that waits stays until it hears from this copy: everything that does not
  // need it gone is deleted first, and it is told the ending before what does.
  auto report = [&](bool all_removed) {
    if (run.first_process_waits && first_pid) report_to_first_process(*first_pid, all_removed);
  };
  if (!run.first_process_waits) wait_for_first_process(run.pid_text, pause);
  if (!is_install_directory(install_dir)) {
    append_setup_log(no_installation_text(install_dir, false));
    report(false);
    return 0;
  }
  Removal removal(install_dir, pause);
  remove_owned_entries(removal, run.all);
  if (removal.left().ok()) {
    report(true);
    if (run.first_process_waits) wait_for_first_process(run.pid_text, pause);
  }
  finish_removal(removal, install_dir, run.all);
  if (!removal.left().ok()) {
    report(false);
    if (run.from_window) show_leftover(install_dir, removal.left());
  }
  return 0;
}

}  // namespace tavrio::uninstall
