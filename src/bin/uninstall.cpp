#include <windows.h>

#include "bin/modes.h"
#include "common/command_line.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Only DLLs from the system folder may load: the cleanup copy runs from the temporary folder,
  // where anyone's downloads may have left a DLL.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  return tavrio::uninstall::run_uninstaller(tavrio::own_arguments());
}
