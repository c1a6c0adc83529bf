// The uninstaller's command-line words, compared exactly and case-sensitively with whole
// arguments. The mode dispatch reads them; the cleanup copy's command line is built from them.
#pragma once

namespace tavrio::uninstall {

inline constexpr wchar_t kCleanupOption[] = L"--cleanup";
inline constexpr wchar_t kSilentOption[] = L"--silent";
inline constexpr wchar_t kDeleteDataOption[] = L"--delete-data";
inline constexpr wchar_t kDirOption[] = L"--dir";
// The first process ends only once the cleanup copy has told it how the removal ended.
inline constexpr wchar_t kWaitOption[] = L"--wait";
inline constexpr wchar_t kAllModeWord[] = L"all";    // the cleanup run deletes the local data
inline constexpr wchar_t kKeepModeWord[] = L"keep";  // anything but "all" keeps it
// Words after the process id on the cleanup copy's command line, in any order: the uninstall
// was started from the window (the copy shows a box when something stays), and the first
// process waits for the copy's report (the copy deletes without waiting for it to end).
inline constexpr wchar_t kFromWindowWord[] = L"window";
inline constexpr wchar_t kFirstProcessWaitsWord[] = L"wait";

}  // namespace tavrio::uninstall
