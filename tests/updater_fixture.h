// Scratch installations for the updater's end-to-end tests: an install folder with a stand-in
// application, a staging folder with a prepared version, and running the real updater on them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/scene.h"
#include "support/test_support.h"

namespace tavrio::test {

inline const std::string kOldRuntime = "python runtime 1.0\n";
inline const std::string kNewRuntime = "python runtime 2.0\n";
inline const std::string kOldStdlib = "stdlib 1.0\n";
inline const std::string kNewStdlib = "stdlib 2.0\n";
inline const std::string kOldUninstaller = "uninstaller 1.0\n";
inline const std::string kNewUninstaller = "uninstaller 2.0\n";

inline const std::string kBanner = "=== 更新开始（Native 更新器）===";
inline const std::string kExited = "主程序已退出";
inline const std::string kAnotherUpdaterRunning = "另一个更新程序正在运行，本次未做任何更改";
// The log of an update that went through.
inline const std::vector<std::string> kSuccessLines = {
    kBanner, kExited, "校验通过", "文件已替换", "卸载入口已更新", "更新成功，重新启动"};

// The scene (root: the test's scratch folder, install: <root>\Tavrio 安装, stage: <root>\staging)
// and what the updater's runs add to it.
struct ScratchInstall : Scene {
  std::wstring log;     // <root>\update.log
  std::wstring record;  // where every started stand-in records itself
  std::string old_exe;  // bytes of the installed and the staged Tavrio.exe: both are runnable
  std::string new_exe;  // stand-ins, told apart by bytes appended behind the image
};

struct LayoutOptions {
  std::wstring install_name = L"Tavrio 安装";
  std::wstring stage_name = L"staging";
  bool staged_uninstaller = true;
  bool markers = true;  // update_pending.json and update.lock in the install folder
};

// Lays out the installation and the staged version in a fresh scratch folder.
ScratchInstall make_scratch_install(const LayoutOptions& options = {});
// The same under a given root (an existing folder).
ScratchInstall make_install_under(const std::wstring& root, const LayoutOptions& options = {});

// The prepared version (executable, runtime, optionally "卸载.exe") in the given folder.
void write_staged_version(const ScratchInstall& s, const std::wstring& stage,
                          bool uninstaller = true);

// "--pid <pid> --app <install> --exe Tavrio.exe --stage <stage> --log <log>".
std::vector<std::wstring> updater_arguments(const ScratchInstall& s, DWORD pid = 0);

// Runs tavrio-updater.exe to its end with STANDIN_RECORD pointing at the record file.
RunResult run_updater(const ScratchInstall& s, const std::vector<std::wstring>& arguments,
                      DWORD timeout_ms = 60000);
// Starts it without waiting.
StartedProcess spawn_updater(const ScratchInstall& s, const std::vector<std::wstring>& arguments);

// Starts the installed stand-in (or another exe) as the running application.
StartedProcess spawn_application(const ScratchInstall& s, const std::wstring& exe, int run_seconds);

// The records of the stand-ins started so far (each "start" .. "end" block as its lines).
std::vector<std::vector<std::string>> standin_records(const ScratchInstall& s);
// Waits until the restarted stand-in has written its record (count blocks in all).
bool wait_for_records(const ScratchInstall& s, size_t count, DWORD timeout_ms = 15000);

// The install folder as list_tree gives it.
std::vector<std::wstring> install_tree(const ScratchInstall& s);
std::vector<std::wstring> tree_after_success();
std::vector<std::wstring> tree_before_update();  // the untouched installation, markers gone
// A tree with the failure report (and other extra entries) added, in list_tree's order.
std::vector<std::wstring> with_report(std::vector<std::wstring> tree,
                                      const std::vector<std::wstring>& extra = {});

// The four lines of a failure report, checking the stamp: {heading, reason, log}.
struct Report {
  bool well_formed = false;
  std::string reason;
  std::string log;
};
Report read_report(const ScratchInstall& s);

// A junction at `link` (a new folder) to `target`, made as Windows makes one; the reason when
// this system cannot (Wine cannot), empty when it was made.
std::string make_junction(const std::wstring& link, const std::wstring& target);

// The error text this system shows for a Win32 error code.
std::string error_text_of(DWORD code);

}  // namespace tavrio::test
