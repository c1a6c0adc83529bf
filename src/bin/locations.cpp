#include "bin/locations.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>

#include "bin/commands.h"
#include "common/handles.h"
#include "common/grow_buffer.h"
#include "common/path.h"

namespace tavrio::uninstall {
namespace {

constexpr wchar_t kLocalBaseVariable[] = L"LOCALAPPDATA";
constexpr wchar_t kProfileVariable[] = L"USERPROFILE";
constexpr wchar_t kRoamingVariable[] = L"APPDATA";
constexpr wchar_t kLocalBaseFallback[] = L"C:\\";
constexpr wchar_t kProgramsFolder[] = L"Programs";
constexpr wchar_t kProductFolder[] = L"Tavrio";
constexpr wchar_t kDesktopFolder[] = L"Desktop";
constexpr wchar_t kStartMenuPrograms[] = L"Microsoft\\Windows\\Start Menu\\Programs";

// The folder a file lies in. "C:\x.exe" gives "C:\" rather than the drive-relative "C:".
std::optional<std::wstring> parent_folder(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos || slash == 0) return std::nullopt;
  if (path[slash - 1] == L':') return path.substr(0, slash + 1);  // also "\\?\C:\x.exe"
  return path.substr(0, slash);
}

using TempPathQuery = DWORD(WINAPI*)(DWORD, LPWSTR);

// GetTempPath2W exists from Windows 11 and recent Windows 10 builds on; it gives SYSTEM
// processes their own folder. Looked up once, at first use; a plain atomic rather than a
// function-local static, whose guard would pull the exception runtime into the exe.
std::atomic<TempPathQuery> g_temp_path_query{nullptr};

TempPathQuery temp_path_query() {
  TempPathQuery query = g_temp_path_query.load(std::memory_order_acquire);
  if (query != nullptr) return query;
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel ? ::GetProcAddress(kernel, "GetTempPath2W") : nullptr;
  query = found ? reinterpret_cast<TempPathQuery>(reinterpret_cast<void*>(found)) : &::GetTempPathW;
  g_temp_path_query.store(query, std::memory_order_release);
  return query;
}

// A location variable that is not a full path counts as unset, as an empty one does: "." or
// "Tavrio" would resolve against whatever the current folder is, "C:Tavrio" and "\Tavrio"
// against the current folder of a drive, and a removal could then hit a stranger's folder.
std::optional<std::wstring> location_variable(const EnvLookup& env, const wchar_t* name) {
  std::optional<std::wstring> value = env(name);
  if (value && !is_full_path(*value)) return std::nullopt;
  return value;
}

// What SHGetKnownFolderPath hands over, freed with CoTaskMemFree, also when the call failed.
using UniqueShellText = UniqueHandle<HandleTraits<PWSTR, 0, &::CoTaskMemFree>>;

}  // namespace

std::optional<std::wstring> process_environment(const wchar_t* name) {
  // Not set, or set to the empty text: either way no usable folder, and a bare name joined to an
  // empty base would resolve against whatever the current folder is.
  std::wstring value;
  if (!read_growing(&value, [&](wchar_t* buffer, DWORD size) {
         return ::GetEnvironmentVariableW(name, buffer, size);
       }).ok()) {
    return std::nullopt;
  }
  return value;
}

std::wstring install_dir_from(const std::vector<std::wstring>& arguments,
                              const std::optional<std::wstring>& own_exe, const EnvLookup& env) {
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == kDirOption) return arguments[i + 1];
  }
  if (own_exe) {
    if (std::optional<std::wstring> folder = parent_folder(*own_exe)) return *folder;
  }
  return join(join(local_base_folder(env), kProgramsFolder), kProductFolder);
}

std::wstring resolve_install_dir(const std::vector<std::wstring>& arguments) {
  std::wstring own;
  std::optional<std::wstring> own_exe;
  if (own_executable_path(&own).ok()) own_exe = std::move(own);
  return install_dir_from(arguments, own_exe, process_environment);
}

std::wstring local_base_folder(const EnvLookup& env) {
  return location_variable(env, kLocalBaseVariable).value_or(kLocalBaseFallback);
}

std::wstring local_data_folder(const EnvLookup& env) {
  return join(local_base_folder(env), kProductFolder);
}

std::wstring desktop_folder(const EnvLookup& env) {
  if (std::optional<std::wstring> profile = location_variable(env, kProfileVariable)) {
    return join(*profile, kDesktopFolder);
  }
  return local_base_folder(env);
}

std::wstring start_menu_folder(const EnvLookup& env) {
  if (std::optional<std::wstring> roaming = location_variable(env, kRoamingVariable)) {
    return join(*roaming, kStartMenuPrograms);
  }
  return local_base_folder(env);
}

std::optional<std::wstring> shell_folder(ShellFolder folder) {
  const KNOWNFOLDERID& id = folder == ShellFolder::kDesktop ? FOLDERID_Desktop : FOLDERID_Programs;
  PWSTR path = nullptr;
  const HRESULT found = ::SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path);
  UniqueShellText owned(path);
  if (FAILED(found) || path == nullptr || !is_full_path(path)) return std::nullopt;
  return std::wstring(path);
}

std::vector<std::wstring> shortcut_folders() {
  std::vector<std::wstring> folders = {desktop_folder(), start_menu_folder()};
  for (ShellFolder shown : {ShellFolder::kDesktop, ShellFolder::kPrograms}) {
    std::optional<std::wstring> folder = shell_folder(shown);
    if (!folder) continue;
    auto same = [&](const std::wstring& known) { return same_name(known, *folder); };
    if (std::none_of(folders.begin(), folders.end(), same)) folders.push_back(*folder);
  }
  return folders;
}

Status find_temp_folder(std::wstring* folder) {
  const TempPathQuery query = temp_path_query();
  return read_growing(folder, [&](wchar_t* buffer, DWORD size) { return query(size, buffer); });
}

}  // namespace tavrio::uninstall
