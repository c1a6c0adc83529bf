// Appending one time-stamped line to a log file; the file is never held open between lines.
#pragma once

#include <string>
#include <string_view>

namespace tavrio {

// "HH:MM:SS  message\n" appended to the file; created when missing, its folder never. Any
// failure drops the line (or its rest) silently.
void append_log_line(const std::wstring& log_path, std::string_view message);

}  // namespace tavrio
