// The check both processes make before anything is stopped or deleted.
#pragma once

#include <string>

namespace tavrio::uninstall {

// Whether a folder is recognisably an installation, which both processes check before anything
// is stopped or deleted: not the root of a volume, and holding "Tavrio.exe". A folder that only
// holds "卸载.exe" is the user's Downloads as likely as an installation. Both modes delete
// "卸载.exe" and then "Tavrio.exe" last, and keep both when anything else stayed, so an
// uninstall that was cut off or left something can be run again.
bool is_install_directory(const std::wstring& install_dir);

}  // namespace tavrio::uninstall
