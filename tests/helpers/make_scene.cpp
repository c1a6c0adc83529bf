// Lays out the demo's sample installations below a folder, as the tests lay them out:
//   make_scene ROOT update      "Tavrio 安装" at version 1.0 with its update markers, and the
//                               staged version 2.0 in "staging"
//   make_scene ROOT uninstall   "Tavrio" at version 1.0 with a file of the user's, the local
//                               data, the two shortcuts and the temporary folder
// Its exit code is 0 when everything was made; otherwise it names what was not.
#include <windows.h>

#include <cstdio>

#include "common/command_line.h"
#include "common/path.h"
#include "common/text.h"
#include "support/scene.h"

int wmain() {
  using namespace tavrio::test;
  const std::vector<std::wstring> args = tavrio::own_arguments();
  std::wstring bin;
  if (args.size() != 3 || !tavrio::own_executable_path(&bin).ok()) {
    std::fprintf(stderr, "usage: make_scene ROOT update|uninstall\n");
    return 2;
  }
  bin = tavrio::text_before_last_separator(bin);
  SceneOptions options;
  options.installed = sample_bundle(bin, "1.0");
  if (args[2] == L"update") {
    options.installed.push_back({L"update_pending.json", "{}\n", {}});
    options.installed.push_back({L"update.lock", "", {}});
    options.staged = sample_stage(bin, "2.0");
  } else {
    options.install_name = L"Tavrio";
    options.installed.push_back({L"notes.txt", "user file\n", {}});
    options.user_folders = options.shortcuts = true;
  }
  const Scene scene = make_scene(args[1], options);
  if (scene.failed.empty()) return 0;
  std::fprintf(stderr, "make_scene: could not make %s\n",
               tavrio::display_form(scene.failed).c_str());
  return 1;
}
