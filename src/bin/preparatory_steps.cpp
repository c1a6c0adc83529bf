#include "bin/preparatory_steps.h"

#include <windows.h>

#include <string>

#include "bin/locations.h"
#include "common/bundle.h"
#include "common/file_ops.h"
#include "common/path.h"
#include "common/process_ops.h"

namespace tavrio::uninstall {
namespace {

constexpr wchar_t kKillTool[] = L"taskkill";

}  // namespace

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

}  // namespace tavrio::uninstall
