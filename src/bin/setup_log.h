// The setup log: one line per outcome of an uninstall, in the temporary folder.
#pragma once

#include <string_view>

namespace tavrio::uninstall {

// Appends one line to "tavrio_setup.log" in the temporary folder; dropped silently when that
// folder is unknown or the file cannot be written.
void append_setup_log(std::string_view message);

}  // namespace tavrio::uninstall
