// The calls that only the updater's package manifest check makes, in an object of their own so
// that the uninstaller does not import them.
#include "common/file_call_hooks.h"

namespace tavrio::calls {

BOOL get_file_size(HANDLE file, LARGE_INTEGER* size) {
  if (Fault f = injected_fault(FileCall::kAttributes, nullptr, file); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::GetFileSizeEx(file, size);
}

BOOL find_next_file(HANDLE find, WIN32_FIND_DATAW* data) {
  if (Fault f = injected_fault(FileCall::kFind, nullptr, find); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::FindNextFileW(find, data);
}

}  // namespace tavrio::calls
