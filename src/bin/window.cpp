// Placeholder until the window is built: interactive mode opens nothing.
#include "bin/window.h"

namespace tavrio::uninstall {

void run_uninstall_window() {}
HWND create_uninstall_window(HINSTANCE) {
  return nullptr;
}

}  // namespace tavrio::uninstall
