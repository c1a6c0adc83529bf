// tavrio-updater: replaces the installed application with the version prepared in a staging
// directory, then starts it again. It opens no window; it reports through the update log and,
// after a failure, the failure report. The exit code is 0 on every path.
#include <windows.h>

#include "common/command_line.h"
#include "request.h"
#include "update_sequence.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything else: only DLLs from the system folder may load, never one planted beside
  // us or in the current folder.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  std::optional<tavrio::updater::UpdateRequest> request =
      tavrio::updater::read_update_request(tavrio::own_arguments());
  if (request) tavrio::updater::run_update(*request);
  return 0;
}
