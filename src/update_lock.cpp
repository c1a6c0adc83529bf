#include "update_lock.h"

#include "common/file_ops.h"

namespace tavrio::updater {
namespace {

void append_hex(std::wstring* text, std::uint64_t value, int digits) {
  constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    text->push_back(kDigits[(value >> shift) & 0xF]);
  }
}

bool changed_after(const std::wstring& path, const FILETIME& moment) {
  FILETIME changed;
  return change_time(path, &changed).ok() && ::CompareFileTime(&changed, &moment) > 0;
}

}  // namespace

bool served_before_start(const Layout& layout, const FILETIME& updater_created) {
  if (exists(layout.staged_program_folder)) return false;
  return changed_after(layout.install_dir, updater_created) ||
         changed_after(layout.failure_report, updater_created);
}

std::wstring update_lock_name(const FileIndex& install_folder) {
  std::wstring name(kUpdateLockPrefix);
  append_hex(&name, install_folder.volume_serial, 8);
  name += L'-';
  append_hex(&name, install_folder.file_index, 16);
  return name;
}

LockTry real_lock_try() {
  return [](HANDLE lock) {
    const DWORD result = ::WaitForSingleObject(lock, 0);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  };
}

UpdateLock::~UpdateLock() {
  if (held()) ::ReleaseMutex(mutex_.get());
}

UpdateLock take_update_lock(const std::wstring& install_dir, const LockTry& try_lock) {
  const std::optional<FileIndex> folder = file_index_of(install_dir);
  if (!folder) return {UpdateLock::State::kNoFolder, {}};
  UniqueMutex mutex(::CreateMutexW(nullptr, FALSE, update_lock_name(*folder).c_str()));
  if (!mutex || !try_lock(mutex.get())) {
    return {UpdateLock::State::kBusy, std::move(mutex)};
  }
  return {UpdateLock::State::kHeld, std::move(mutex)};
}

}  // namespace tavrio::updater
