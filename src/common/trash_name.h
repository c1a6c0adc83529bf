// The names under which the updater moves a tree out of the way before deleting it, so that the
// application can start again while the slow deletion runs. Both programs know them: the updater
// deletes what an interrupted run left under such a name, the uninstaller removes them with the
// installation.
#pragma once

#include <string>
#include <string_view>

namespace tavrio {

inline constexpr std::wstring_view kTrashSuffix = L".trash";

// "<folder>.<process id>.<tick>.trash", beside the folder.
std::wstring trash_name(const std::wstring& folder, unsigned long process_id,
                        unsigned long long tick);
// Whether a name is the trash name of the folder called `original_name`.
bool is_trash_of(std::wstring_view name, std::wstring_view original_name);
// Whether a name is the trash name of some folder: "<name>.<digits>.<digits>.trash".
bool is_trash_name(std::wstring_view name);

}  // namespace tavrio
