// Appending one time-stamped line to a log file; the file is never held open between lines.
#pragma once

#include <string>
#include <string_view>

namespace tavrio {

// "HH:MM:SS  message\n" appended to the file; created when missing, its folder never. Any
// failure drops the line (or its rest) silently.
void append_log_line(const std::wstring& log_path, std::string_view message);

// Writes all bytes, continuing after partial writes; false when the rest had to be dropped.
bool write_all(void* file, std::string_view bytes);

}  // namespace tavrio
