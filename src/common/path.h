// Joining paths and handing them to Win32.
#pragma once

#include <string>
#include <string_view>

#include "common/os_error.h"

namespace tavrio {

// path + "\" + name, without the separator when path is empty, ends in "\" or "/", or is a
// bare drive ("C:"). A name that carries a drive letter replaces the path. Nothing is
// normalised.
std::wstring join(const std::wstring& path, const std::wstring& name);

// The form a path takes at a Win32 call: unchanged when it is already "\\?\" or "\??\" or
// shorter than 247 units; otherwise made absolute and given the "\\?\" (or "\\?\UNC\")
// prefix so that long paths work.
std::wstring win32_path(const std::wstring& path);

// The full path as GetFullPathNameW resolves it against the current folder; the input
// unchanged when that fails.
std::wstring full_path(const std::wstring& path);

// The text before the last "\" or "/" ("" when there is none), and the text after it (the whole
// path when there is none). Nothing is resolved.
std::wstring text_before_last_separator(const std::wstring& path);
std::wstring last_component(const std::wstring& path);

// Whether two names (or two spellings of a path) are equal but for letter case, which is how the
// file system tells names apart. Nothing is resolved.
bool same_name(std::wstring_view a, std::wstring_view b);

// The order of two names as the file system sees it (ordinal, letter case aside): negative when
// `a` comes first, zero when they are the same name, positive when `b` comes first.
int compare_names(std::wstring_view a, std::wstring_view b);

// Whether `text` begins with `prefix`, letter case aside.
bool starts_with_name(std::wstring_view text, std::wstring_view prefix);

// The path without its "\\?\" or "\??\" prefix: "\\?\C:\x" as "C:\x", "\\?\UNC\server\x" as
// "\\server\x"; any other path as it is. The form in which the system names a process's image.
std::wstring without_device_prefix(const std::wstring& path);

// The full path of the running program (GetModuleFileNameW), however long.
Status own_executable_path(std::wstring* path);

// The one spelling under which a path from outside is checked and used: its full path, or the
// path unchanged when it already starts with "\\?\" or "\??\" (the system passes those on as
// they are, and GetFullPathNameW would turn "\??\C:\x" into a folder "??" on the current drive).
std::wstring absolute_path(const std::wstring& path);

// True for a path that means the same folder whatever the current folder and drive are: a
// drive-absolute path ("C:\..."), a UNC path ("\\server\share...") or a device path
// ("\\?\...", "\\.\...", "\??\..."). ".", "Tavrio", "C:Tavrio" and "\Tavrio" are not.
bool is_full_path(const std::wstring& path);

}  // namespace tavrio
