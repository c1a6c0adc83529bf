// The Windows argument rules: splitting a command line and building one that splits back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrio {

// Splits a command line as the C runtime does; the first element is the program path.
std::vector<std::wstring> split_command_line(std::wstring_view line);

// The process's own command line, split.
std::vector<std::wstring> own_arguments();

// An optional "+", then ASCII digits, at most 4294967295; anything else is nullopt.
std::optional<std::uint32_t> read_process_id(std::wstring_view text);

// The program path in double quotes, then each argument quoted only when it is empty or
// holds a space or tab, so that split_command_line returns exactly these arguments.
std::wstring build_command_line(const std::wstring& program,
                                const std::vector<std::wstring>& arguments);

}  // namespace tavrio
