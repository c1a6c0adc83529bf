// Shared by the uninstaller's end-to-end tests: scratch installations with their own temporary,
// local, profile and roaming folders, and runs of the real uninstaller under that environment.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/scene.h"
#include "support/test_support.h"

namespace tavrio::test {

inline constexpr char kScheduledLine[] = "已安排删除";
inline constexpr char kKeepOutcome[] = "程序文件已删除，本地资料保留";
inline constexpr char kAllOutcome[] = "程序与本地资料已全部删除";
inline constexpr char kIncompleteOutcome[] = "卸载未完成，残留：";
inline constexpr char kOthersKeptOutcome[] = "程序与本地资料已删除，安装目录里的其他文件已保留：";
// All mode's outcome when entries that the installation does not own stay in `dir`.
inline std::string others_kept_outcome(const std::wstring& dir) {
  return kOthersKeptOutcome + narrow(dir);
}

// What make_install puts at the top of an installation, sorted.
inline const std::vector<std::wstring> kSampleInstallNames = {
    L"Tavrio.exe",    L"_internal",   L"taskkill.exe", L"tavrio-updater.exe",
    L"uninstall.exe", L"version.txt", L"卸载.exe"};

// A scratch installation with the user's folders the uninstaller touches.
struct Uninstall : Scene {
  // TMP, TEMP, LOCALAPPDATA, USERPROFILE and APPDATA pointed into the scratch folder; the
  // current folder as given.
  RunOptions options(const std::wstring& current_directory = {}) const;
};

// A scratch folder with a sample installation in root\<install_name>, a local data folder
// holding "config.json", and empty temporary, profile and roaming folders.
Uninstall make_uninstall(const std::wstring& install_name = L"Tavrio");
// The same with the sample bundle of the built programs (the stand-in as Tavrio.exe), a file of
// the user's, "notes.txt", in the install folder and both shortcuts, in "Tavrio 安装".
Uninstall make_shipped_uninstall();

// A one-folder bundle in `dir`: _internal with the runtime files, Tavrio.exe, the real
// uninstaller as 卸载.exe, uninstall.exe, tavrio-updater.exe and version.txt. A stand-in for
// taskkill lies beside them: the uninstaller finds it first in its own folder, so these runs
// never end another test's processes (the real taskkill has a test of its own). The stand-in is
// not the installation's: all mode leaves it, and with it the folder.
void make_install(const std::wstring& dir);

// The uninstaller outside the installation, root\runner\卸载.exe, with the stand-in taskkill
// beside it: run with "--dir" or "--cleanup", it leaves the install folder nothing of its own.
std::wstring outside_runner(const Uninstall& u);

// The messages of the setup log once an outcome line (either mode, or an incomplete one) is in
// it, or whatever it holds when none came within the time.
std::vector<std::string> wait_for_outcome(const Uninstall& u, DWORD timeout_ms = 30000);

// Names that remain directly inside a folder, sorted.
std::vector<std::wstring> names_in(const std::wstring& dir);

// The texts of a window's child controls.
std::vector<std::wstring> child_texts(HWND window);
// True when there is an X display to show windows on (otherwise MessageBoxW returns at once).
bool have_display();
// Whether the system itself reports a temporary folder for the current TMP and TEMP, asked the
// way the uninstaller asks it, independently of the code under test.
bool system_gives_temp_folder();

}  // namespace tavrio::test
