// Sample installations for the tests, the benchmarks and the demo: an install folder, optionally
// a staged new version beside it, and the user's folders the uninstaller touches, all below one
// root and made by one function. Plain Win32, no test framework, so that programs that are not
// tests can lay out the same scenes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavrio::test {

// One file of a bundle: its path below the bundle's folder and its bytes, or a file to copy.
struct SceneFile {
  std::wstring path = {};
  std::string bytes = {};
  std::wstring copy_of = {};  // when set, this file's bytes instead of `bytes`
};

// Runtime files generated below _internal, as a large one-folder bundle holds them: `small`
// files of `small_size` bytes, then `large` ones, spread over `folders` package folders.
struct GeneratedRuntime {
  int small = 0;
  int large = 0;
  DWORD small_size = 0;
  DWORD large_size = 0;
  int folders = 1;

  int files() const { return small + large; }
  double megabytes() const;
};

struct SceneOptions {
  std::wstring install_name = L"Tavrio 安装";
  std::vector<SceneFile> installed;
  std::wstring stage_name = L"staging";
  std::vector<SceneFile> staged;  // none: no staging folder
  GeneratedRuntime generated;     // below both the installed and the staged _internal
  bool manifest = false;          // the stage's package.manifest, listing every staged file
  bool synced = false;            // every file flushed, as a download finished a while ago
  // The temporary, local data, profile and roaming folders, local data holding
  // Tavrio\config.json.
  bool user_folders = false;
  bool shortcuts = false;  // with them, the two shortcuts the installer makes
};

struct Scene {
  std::wstring root, install, stage;
  std::wstring temp, local, profile, roaming;  // with SceneOptions::user_folders
  std::wstring failed;                         // the first path that could not be made, if any

  std::wstring in_install(const std::wstring& name) const { return install + L"\\" + name; }
  std::wstring in_stage(const std::wstring& name) const { return stage + L"\\" + name; }
  std::wstring uninstaller() const { return install + L"\\卸载.exe"; }
  std::wstring setup_log() const { return temp + L"\\tavrio_setup.log"; }
  std::wstring cleanup_copy() const { return temp + L"\\tavrio-uninstall-cleanup.exe"; }
  std::wstring local_data() const { return local + L"\\Tavrio"; }
  std::wstring desktop_shortcut() const { return profile + L"\\Desktop\\Tavrio.lnk"; }
  std::wstring start_menu_shortcut() const {
    return roaming + L"\\Microsoft\\Windows\\Start Menu\\Programs\\Tavrio.lnk";
  }
};

// Makes a folder and every folder on the way to it.
void make_dirs(const std::wstring& path);
// The bytes of a file, "" when it is missing.
std::string read_file(const std::wstring& path);

// Lays the scene out below `root` (made when missing; what it holds already stays).
Scene make_scene(const std::wstring& root, const SceneOptions& options);

// Writes the files below `dir`; returns the first path that could not be written, or "".
std::wstring write_bundle(const std::wstring& dir, const std::vector<SceneFile>& files,
                          bool synced = false);

// What one version of the bundle holds in the files every installation and stage has: the main
// program, the runtime and the standard library below _internal, and the uninstaller. Each is
// given as bytes or, for the programs, as a file to copy (SceneFile's path is ignored).
struct BundleVersion {
  SceneFile main_program;  // Tavrio.exe
  std::string runtime;     // _internal\python312.dll
  std::string stdlib;      // _internal\base_library.zip
  SceneFile uninstaller;   // 卸载.exe
  bool with_uninstaller = true;
};
// The one list of those files, under their names, for every scene.
std::vector<SceneFile> bundle_files(const BundleVersion& version);

// A version staged as the application's downloader prepares it: the stand-in application as
// Tavrio.exe, a runtime and a standard library naming the version, and the built uninstaller as
// 卸载.exe. `bin` is the folder of the built programs.
std::vector<SceneFile> sample_stage(const std::wstring& bin, const std::string& version);
// The same version installed: the staged files, version.txt and the built updater.
std::vector<SceneFile> sample_bundle(const std::wstring& bin, const std::string& version);

// "package.manifest" in `stage`: the format line, then every file below the stage with its size
// and SHA-256, as the application's downloader writes it. False when it could not be written.
bool write_package_manifest(const std::wstring& stage, bool synced = false);

}  // namespace tavrio::test
