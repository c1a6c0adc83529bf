#include "bin/removal.h"

#include <windows.h>

#include <optional>

#include "bin/locations.h"
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
#include "common/step_result.h"
#include "common/text.h"
#include "common/bundle.h"

namespace tavrio::uninstall {
namespace {

constexpr wchar_t kKillTool[] = L"taskkill";

// The program entries that both modes remove first. The uninstaller and then the main program go
// last: until then the folder can be uninstalled again, and the main program alone is what makes
// it an installation.
constexpr const wchar_t* kProgramEntries[] = {
    bundle::kProgramFolder,
    bundle::kUninstaller,
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
constexpr unsigned kPollIntervalMs = 300;
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
    pause(kPollIntervalMs);
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

  // Last, the uninstaller and then the main program. The first process may still have held its
  // own image a moment ago: the uninstaller gets one more try. With anything left both stay: the
  // folder is then still an installation, and the uninstall can be run again to finish.
  void anchors() {
    if (!left_.ok()) return;
    const std::wstring uninstaller = join(install_dir_, bundle::kShippedUninstaller);
    Status removed = remove_entry(uninstaller);
    if (!gone(removed)) {
      pause_(kPollIntervalMs);
      removed = remove_entry(uninstaller);
    }
    note(&left_, uninstaller, removed);
    entry(bundle::kMainProgram);
  }

  const Leftover& left() const { return left_; }

 private:
  const std::wstring& install_dir_;
  const Pause pause_;
  Leftover left_;
};

void remove_program_entries(const std::wstring& install_dir, Pause pause) {
  Removal removal(install_dir, pause);
  for (const wchar_t* entry : kProgramEntries) removal.entry(entry);
  removal.anchors();
  log_outcome(removal.left(), kProgramRemovedDataKept);
}

// What the installation owns, then the local data, the anchors, and the folder once it is empty.
// Whatever else the folder holds was put there by someone else (a user who installed into the
// Desktop or "D:\Games"): it stays, and so does the folder.
void remove_installation(const std::wstring& install_dir, Pause pause) {
  Removal removal(install_dir, pause);
  for (const wchar_t* entry : kProgramEntries) removal.entry(entry);
  for (const wchar_t* entry : kUpdaterEntries) removal.entry(entry);
  removal.trash_folders();
  removal.tree(local_data_folder());
  removal.anchors();
  Leftover left = removal.left();
  const Status folder = remove_empty_folder(install_dir);
  const bool others_stay = folder.code() == ERROR_DIR_NOT_EMPTY;
  if (!others_stay) note(&left, install_dir, folder);
  log_outcome(left, others_stay ? others_kept_line(install_dir) : std::string(kAllRemoved));
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
  const std::wstring install_dir = leave_install_directory(cleanup_arguments[0]);
  wait_for_first_process(cleanup_arguments[2], pause);
  if (!is_install_directory(install_dir)) {
    append_setup_log(no_installation_text(install_dir, false));
    return 0;
  }
  if (cleanup_arguments[1] == kAllModeWord) {
    remove_installation(install_dir, pause);
  } else {
    remove_program_entries(install_dir, pause);
  }
  return 0;
}

}  // namespace tavrio::uninstall
