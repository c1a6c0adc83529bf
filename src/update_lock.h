// One updater per installation: a named mutex whose name comes from the install folder's
// identity, so that every spelling of the folder (another case, a short name, a drive letter
// mapped onto it, a link to it) names the same lock. The application tests the same name at
// start to see that an update is under way; docs/integration.md shows how it derives it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "common/handles.h"
#include "common/identity.h"
#include "layout.h"

namespace tavrio::updater {

inline constexpr std::wstring_view kUpdateLockPrefix = L"Local\\tavrio-update-";

// "Local\tavrio-update-<volume serial>-<file index>": the install folder's volume serial number
// as 8 and its file index as 16 upper-case hexadecimal digits, as GetFileInformationByHandle
// gives them.
std::wstring update_lock_name(const FileIndex& install_folder);

// Tries once to own the lock, without waiting; true when this thread owns it.
using LockTry = std::function<bool(HANDLE lock)>;

// WaitForSingleObject with no time-out: owned when it is signalled, or abandoned by an updater
// that was ended while it held the lock (whose interrupted swap the journal settles).
LockTry real_lock_try();

class UpdateLock {
 public:
  enum class State {
    kHeld,      // this run owns the installation until the lock is destroyed
    kBusy,      // another updater holds it: this run must change nothing
    kNoFolder,  // the install folder cannot be opened, so there is no lock to take
  };

  UpdateLock(State state, UniqueMutex mutex) : state_(state), mutex_(std::move(mutex)) {}
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;
  ~UpdateLock();

  State state() const { return state_; }
  bool held() const { return state_ == State::kHeld; }

 private:
  State state_;
  UniqueMutex mutex_;
};

// Whether an updater started together with this one has served the request already: it reached
// the lock first and ended before this one got there (a process can take longer to start than a
// whole update of a small bundle runs, and the other may even have swapped before this one was
// created). Its traces are on the disk: the staged program folder is gone, and the install folder
// changed (every run that got that far ends by deleting its journal or the markers there) or the
// failure report was written after this updater was created.
bool served_before_start(const Layout& layout, const FILETIME& updater_created);

// Takes the lock of the installation in `install_dir` at once, or finds it busy. Never waits: an
// updater that held it a moment ago may have served this very request already (the stage is
// gone, the application restarted), and running it again would report a failure of an update
// that succeeded. A name that another program holds as something else than a mutex, or that
// may not be opened, counts as busy: without the lock nothing may change.
UpdateLock take_update_lock(const std::wstring& install_dir,
                            const LockTry& try_lock = real_lock_try());

}  // namespace tavrio::updater
