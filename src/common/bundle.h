// The names of the installed bundle that both programs know: its executables, folders, the files
// the updater leaves for the application, the journal and the updater's trash, each spelled once.
#pragma once

#include <string>
#include <string_view>

namespace tavrio::bundle {

// The application's executable and runtime folder, and what the runtime must hold.
inline constexpr wchar_t kMainProgram[] = L"Tavrio.exe";
inline constexpr wchar_t kProgramFolder[] = L"_internal";
inline constexpr wchar_t kRuntimeLibrary[] = L"python312.dll";
inline constexpr wchar_t kBaseLibrary[] = L"base_library.zip";
inline constexpr wchar_t kVersionFile[] = L"version.txt";
// What a staging directory may hold beside the bundle: the list of its files with their sizes
// and SHA-256.
inline constexpr wchar_t kPackageManifest[] = L"package.manifest";

// The two programs of this project: the uninstaller under its shipped and its second name, the
// updater, and the uninstaller's copy in the temporary folder.
inline constexpr wchar_t kShippedUninstaller[] = L"卸载.exe";
inline constexpr wchar_t kUninstaller[] = L"uninstall.exe";
inline constexpr wchar_t kUpdater[] = L"tavrio-updater.exe";
inline constexpr wchar_t kCleanupCopy[] = L"tavrio-uninstall-cleanup.exe";

// What an update leaves in the install folder: the backup, the report for the application, the
// two markers the application writes, the journal (and its temporary file while it is written),
// and the new executable beside the installed one ("<exe>.new") until it replaces it.
inline constexpr wchar_t kBackupFolder[] = L"_internal_old";
inline constexpr wchar_t kFailureReport[] = L"update_failed.txt";
inline constexpr wchar_t kPendingMarker[] = L"update_pending.json";
inline constexpr wchar_t kUpdateLock[] = L"update.lock";
inline constexpr wchar_t kJournal[] = L"update.journal";
inline constexpr wchar_t kJournalTemporary[] = L"update.journal.tmp";
inline constexpr std::wstring_view kNewExecutableSuffix = L".new";
inline constexpr wchar_t kNewMainProgram[] = L"Tavrio.exe.new";

// A folder the updater moved out of the way before deleting it:
// "<folder>.<process id>.<tick>.trash", beside the folder (common/trash.h).
inline constexpr std::wstring_view kTrashSuffix = L".trash";

// The shortcut, the per-user registration and the uninstaller's log.
inline constexpr wchar_t kShortcut[] = L"Tavrio.lnk";
inline constexpr wchar_t kRegistrationKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tavrio";
inline constexpr wchar_t kSetupLog[] = L"tavrio_setup.log";

}  // namespace tavrio::bundle
