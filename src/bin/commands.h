// The uninstaller's command-line words, compared exactly and case-sensitively with whole
// arguments. The mode dispatch reads them; the cleanup copy's command line is built from them.
#pragma once

namespace tavrio::uninstall {

inline constexpr wchar_t kCleanupOption[] = L"--cleanup";
inline constexpr wchar_t kSilentOption[] = L"--silent";
inline constexpr wchar_t kDeleteDataOption[] = L"--delete-data";
inline constexpr wchar_t kDirOption[] = L"--dir";
inline constexpr wchar_t kAllModeWord[] = L"all";    // the cleanup run deletes the local data
inline constexpr wchar_t kKeepModeWord[] = L"keep";  // anything but "all" keeps it

}  // namespace tavrio::uninstall
