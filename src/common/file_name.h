// What counts as a plain file name: one that, joined to a folder, can only mean a file directly
// in that folder.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavrio {

inline constexpr size_t kMaxFileNameLength = 255;  // what a file system allows in one name

// True for a name that can only mean a file directly in the folder it is joined to: no "\" or
// "/", no ":", not "." or "..", no trailing dot or space (Win32 drops them, so the name would
// mean another file), no character that file names cannot hold, not a device name (CON, NUL,
// COM1... also with an extension), at most 255 characters.
bool is_plain_file_name(std::wstring_view name);

}  // namespace tavrio
