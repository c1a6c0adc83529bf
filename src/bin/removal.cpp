#include "bin/removal.h"

#include <windows.h>

#include "bin/locations.h"
#include "bin/messages.h"
#include "bin/setup_log.h"
#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/stage.h"
#include "common/trash.h"
#include "common/tree_removal.h"

namespace tavrio::uninstall {
namespace {

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

bool gone(Status removed) {
  return removed.ok() || removed.code() == ERROR_FILE_NOT_FOUND ||
         removed.code() == ERROR_PATH_NOT_FOUND;
}

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
    std::vector<trash::Found> found;
    if (Status listed = trash::find_trash_folders(install_dir_, &found); !listed.ok()) {
      note(&left_, install_dir_, listed);
      return;
    }
    for (const trash::Found& folder : found) {
      if (folder.kind_read.ok()) {
        entry(folder.name);
      } else {
        note(&left_, join(install_dir_, folder.name), folder.kind_read);
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

}  // namespace

Leftover remove_installation(const std::wstring& install_dir, bool all, Pause pause,
                             const std::function<void()>& once_owned_gone) {
  Removal removal(install_dir, pause);
  remove_owned_entries(removal, all);
  if (removal.left().ok()) once_owned_gone();
  finish_removal(removal, install_dir, all);
  return removal.left();
}

}  // namespace tavrio::uninstall
