// The call that only the updater's package manifest check makes, in an object of its own so
// that the uninstaller does not import it.
#include "common/file_call_hooks.h"

namespace tavrio::calls {

BOOL get_file_size(HANDLE file, LARGE_INTEGER* size) {
  if (Fault f = injected_fault(FileCall::kAttributes, nullptr, file); f.error != 0) {
    return failed(f, FALSE);
  }
  return ::GetFileSizeEx(file, size);
}

}  // namespace tavrio::calls
