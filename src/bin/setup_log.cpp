#include "bin/setup_log.h"

#include <string>

#include "bin/locations.h"
#include "common/bundle.h"
#include "common/log_line.h"
#include "common/path.h"

namespace tavrio::uninstall {

void append_setup_log(std::string_view message) {
  std::wstring folder;
  if (!find_temp_folder(&folder).ok()) return;  // never a relative path
  append_log_line(join(folder, bundle::kSetupLog), message);
}

}  // namespace tavrio::uninstall
