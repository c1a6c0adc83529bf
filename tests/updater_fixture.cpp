#include "updater_fixture.h"

#include <gtest/gtest.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>

#include "common/handles.h"
#include "common/os_error.h"

namespace tavrio::test {
namespace {

std::string standin_bytes() {
  static const std::string bytes = read_file(built_exe(L"standin_app.exe"));
  return bytes;
}

std::vector<SceneFile> installed_version(const ScratchInstall& s, const LayoutOptions& options) {
  std::vector<SceneFile> files = bundle_files({.main_program = {.bytes = s.old_exe},
                                               .runtime = kOldRuntime,
                                               .stdlib = kOldStdlib,
                                               .uninstaller = {.bytes = kOldUninstaller}});
  files.push_back({L"_internal\\lib\\old_only.pyd", "old module\n", {}});
  if (options.markers) {
    files.push_back({L"update_pending.json", "{}", {}});
    files.push_back({L"update.lock", "", {}});
  }
  return files;
}

std::vector<SceneFile> staged_version(const ScratchInstall& s, bool uninstaller) {
  std::vector<SceneFile> files = bundle_files({.main_program = {.bytes = s.new_exe},
                                               .runtime = kNewRuntime,
                                               .stdlib = kNewStdlib,
                                               .uninstaller = {.bytes = kNewUninstaller},
                                               .with_uninstaller = uninstaller});
  files.push_back({L"_internal\\lib\\new_only.pyd", "new module\n", {}});
  return files;
}

RunOptions with_record(const ScratchInstall& s) {
  RunOptions options;
  options.environment[L"STANDIN_RECORD"] = s.record;
  return options;
}

std::vector<std::wstring> tree_with_module(const std::wstring& module) {
  return {L"Tavrio.exe",
          L"_internal\\",
          L"_internal\\base_library.zip",
          L"_internal\\lib\\",
          L"_internal\\lib\\" + module,
          L"_internal\\python312.dll",
          L"卸载.exe"};
}

}  // namespace

void write_staged_version(const ScratchInstall& s, const std::wstring& stage, bool uninstaller) {
  EXPECT_EQ(write_bundle(stage, staged_version(s, uninstaller)), L"");
}

ScratchInstall make_install_under(const std::wstring& root, const LayoutOptions& options) {
  ScratchInstall s;
  s.old_exe = standin_bytes() + "TAVRIO VERSION 1.0";
  s.new_exe = standin_bytes() + "TAVRIO VERSION 2.0";
  SceneOptions scene;
  scene.install_name = options.install_name;
  scene.installed = installed_version(s, options);
  scene.stage_name = options.stage_name;
  scene.staged = staged_version(s, options.staged_uninstaller);
  static_cast<Scene&>(s) = make_scene(root, scene);
  EXPECT_EQ(s.failed, L"");
  s.log = root + L"\\update.log";
  s.record = root + L"\\standin-record.txt";
  return s;
}

ScratchInstall make_scratch_install(const LayoutOptions& options) {
  return make_install_under(scratch_dir(), options);
}

std::vector<std::wstring> updater_arguments(const ScratchInstall& s, DWORD pid) {
  return {L"--pid",      std::to_wstring(pid), L"--app", s.install, L"--exe",
          L"Tavrio.exe", L"--stage",           s.stage,  L"--log",  s.log};
}

RunResult run_updater(const ScratchInstall& s, const std::vector<std::wstring>& arguments,
                      DWORD timeout_ms) {
  RunOptions options = with_record(s);
  options.timeout_ms = timeout_ms;
  // The restarted application, if any, has recorded itself and ended when this returns.
  options.wait_for_descendants = true;
  return run(built_exe(L"tavrio-updater.exe"), arguments, options);
}

StartedProcess spawn_updater(const ScratchInstall& s, const std::vector<std::wstring>& arguments) {
  return spawn(built_exe(L"tavrio-updater.exe"), arguments, with_record(s));
}

StartedProcess spawn_application(const ScratchInstall& s, const std::wstring& exe,
                                 int run_seconds) {
  RunOptions options = with_record(s);
  options.current_directory = s.install;
  return spawn(exe, {L"--run-seconds", std::to_wstring(run_seconds)}, options);
}

std::vector<std::vector<std::string>> standin_records(const ScratchInstall& s) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> current;
  for (const std::string& line : read_lines(s.record)) {
    current.push_back(line);
    if (line == "end") {
      records.push_back(current);
      current.clear();
    }
  }
  return records;
}

bool wait_for_records(const ScratchInstall& s, size_t count, DWORD timeout_ms) {
  return wait_until([&] { return standin_records(s).size() >= count; }, timeout_ms);
}

std::vector<std::wstring> install_tree(const ScratchInstall& s) {
  return list_tree(s.install);
}

std::vector<std::wstring> tree_after_success() {
  return tree_with_module(L"new_only.pyd");
}

std::vector<std::wstring> tree_before_update() {
  return tree_with_module(L"old_only.pyd");
}

std::vector<std::wstring> with_report(std::vector<std::wstring> tree,
                                      const std::vector<std::wstring>& extra) {
  tree.push_back(L"update_failed.txt");
  tree.insert(tree.end(), extra.begin(), extra.end());
  std::sort(tree.begin(), tree.end());
  return tree;
}

Report read_report(const ScratchInstall& s) {
  Report report;
  const std::string text = read_file(s.in_install(L"update_failed.txt"));
  const std::string heading = "更新失败，已保留原版本。\n时间：";
  const std::string reason = "\n原因：";
  const std::string log = "\n详细日志：";
  if (text.rfind(heading, 0) != 0 || text.size() < heading.size() + 8) return report;
  if (!is_stamp(text.substr(heading.size(), 8))) return report;
  size_t at = heading.size() + 8;
  if (text.compare(at, reason.size(), reason) != 0) return report;
  at += reason.size();
  size_t log_at = text.find(log, at);
  if (log_at == std::string::npos) return report;
  report.reason = text.substr(at, log_at - at);
  report.log = text.substr(log_at + log.size());
  report.well_formed =
      report.reason.find('\n') == std::string::npos && report.log.find('\n') == std::string::npos;
  return report;
}

std::string error_text_of(DWORD code) {
  return error_text(OsError{code});
}

// A junction at `link` (a new folder) to `target`, made as Windows makes one; the reason when
// this system cannot.
std::string make_junction(const std::wstring& link, const std::wstring& target) {
  make_dirs(link);
  UniqueFile folder(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
  // The mount-point form of REPARSE_DATA_BUFFER: tag, data length, reserved, the offsets and
  // lengths of the two names, then both names, each NUL-terminated (the print name empty).
  const std::wstring substitute = L"\\??\\" + target;
  const WORD name_bytes = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  std::vector<WORD> buffer = {0, 0,          static_cast<WORD>(8 + name_bytes + 4), 0,
                              0, name_bytes, static_cast<WORD>(name_bytes + 2),     0};
  const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof tag);
  buffer.insert(buffer.end(), substitute.begin(), substitute.end());
  buffer.insert(buffer.end(), {0, 0});
  DWORD returned = 0;
  if (!folder || !::DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                                    static_cast<DWORD>(buffer.size() * sizeof(WORD)), nullptr, 0,
                                    &returned, nullptr)) {
    const DWORD error = ::GetLastError();
    folder.reset();
    ::RemoveDirectoryW(link.c_str());
    return "this system cannot create junctions (FSCTL_SET_REPARSE_POINT fails with error " +
           std::to_string(error) + ")";
  }
  return {};
}

}  // namespace tavrio::test
