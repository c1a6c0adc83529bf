#include "common/identity.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string_view>

#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/grow_buffer.h"
#include "common/handles.h"
#include "common/path.h"

namespace tavrio {
namespace {

bool is_separator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

bool is_drive(std::wstring_view text) {
  return text.size() >= 2 &&
         ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z')) &&
         text[1] == L':';
}

// The end of the component that starts at `from` (the next separator, or the end).
size_t component_end(std::wstring_view path, size_t from) {
  while (from < path.size() && !is_separator(path[from])) ++from;
  return from;
}

// How many characters of a full path name its root: "C:\", "\\server\share\", "\\?\C:\",
// "\\?\UNC\server\share\", "\\.\C:\", "\??\Volume{...}\". The separator after the root is
// counted when there is one.
size_t root_length(std::wstring_view path) {
  size_t at = 0;
  const bool device_prefix = path.size() >= 4 && path[0] == L'\\' && path[3] == L'\\' &&
                             ((path[1] == L'\\' && (path[2] == L'?' || path[2] == L'.')) ||
                              (path[1] == L'?' && path[2] == L'?'));
  if (device_prefix) {
    at = 4;
    if (starts_with_name(path.substr(at), L"UNC\\")) {
      at = component_end(path, component_end(path, at + 4) + 1);  // server, then share
    } else {
      at = component_end(path, at);  // "C:", "Volume{...}" or another device
    }
  } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    at = component_end(path, component_end(path, 2) + 1);  // \\server\share
  } else if (is_drive(path)) {
    at = 2;
  } else {
    return 0;  // not a full path
  }
  at = std::min(at, path.size());
  if (at < path.size() && is_separator(path[at])) ++at;
  return at;
}

// The path without trailing separators, never cut into its root.
std::wstring_view trimmed(std::wstring_view path, size_t root) {
  while (path.size() > root && is_separator(path.back())) path.remove_suffix(1);
  return path;
}

// The root as a folder that can be opened: "C:" alone would be the current folder of the drive
// and "\\?\C:" the volume device, so the root always ends in a separator.
std::wstring openable_root(std::wstring_view path, size_t root) {
  std::wstring out(path.substr(0, root));
  if (!out.empty() && !is_separator(out.back())) out += L'\\';
  return out;
}

UniqueFile open_entry(const std::wstring& path) {
  return open_path(path, FILE_READ_ATTRIBUTES,
                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

std::optional<FileIdentity> read_identity(HANDLE entry) {
  FileIdentity identity;
  FILE_ID_INFO id;
  if (calls::get_file_information(entry, FileIdInfo, &id, sizeof id)) {
    identity.volume = id.VolumeSerialNumber;
    static_assert(sizeof id.FileId.Identifier == sizeof identity.file_id);
    std::memcpy(identity.file_id.data(), id.FileId.Identifier, identity.file_id.size());
    return identity;
  }
  // Systems before Windows 8 and some file systems know only the 64-bit index.
  BY_HANDLE_FILE_INFORMATION info;
  if (!calls::get_file_information(entry, &info)) return std::nullopt;
  identity.volume = info.dwVolumeSerialNumber;
  const std::uint64_t index =
      (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  std::memcpy(identity.file_id.data(), &index, sizeof index);
  return identity;
}

// The path the system resolves an open entry to ("\\?\C:\..." or "\\?\UNC\..."), or, for a
// volume without a drive letter, its "\\?\Volume{...}\..." name; empty when neither is known.
std::wstring final_path(HANDLE entry, DWORD volume_name) {
  std::wstring path;
  Status found = read_growing(&path, [&](wchar_t* buffer, DWORD size) {
    return calls::get_final_path_name(entry, buffer, size, FILE_NAME_NORMALIZED | volume_name);
  });
  return found.ok() ? path : std::wstring();
}

std::wstring resolved_path(HANDLE entry) {
  std::wstring path = final_path(entry, VOLUME_NAME_DOS);
  return path.empty() ? final_path(entry, VOLUME_NAME_GUID) : path;
}

// Adds the identity of the folder at `path` and of every folder above it, up to and including
// its root.
void add_folders_up_to_root(std::wstring_view path, std::vector<FileIdentity>* out) {
  const size_t root = root_length(path);
  if (root == 0) return;
  std::wstring_view rest = trimmed(path, root);
  for (;;) {
    const std::wstring folder = rest.size() > root ? std::wstring(rest) : openable_root(path, root);
    if (std::optional<FileIdentity> identity = identity_of(folder)) out->push_back(*identity);
    if (rest.size() <= root) return;
    size_t cut = rest.size();
    while (cut > root && !is_separator(rest[cut - 1])) --cut;
    rest = trimmed(rest.substr(0, cut), root);
  }
}

// The same path text, letter case and trailing separators aside.
bool same_text(std::wstring_view a, std::wstring_view b) {
  a = trimmed(a, root_length(a));
  b = trimmed(b, root_length(b));
  return same_name(a, b);
}

}  // namespace

std::optional<FileIdentity> identity_of(const std::wstring& path) {
  UniqueFile entry = open_entry(path);
  if (!entry) return std::nullopt;
  return read_identity(entry.get());
}

std::optional<FileIndex> file_index_of(const std::wstring& path) {
  UniqueFile entry = open_path(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  BY_HANDLE_FILE_INFORMATION info;
  if (!entry || !calls::get_file_information(entry.get(), &info)) return std::nullopt;
  return FileIndex{static_cast<std::uint32_t>(info.dwVolumeSerialNumber),
                   (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

std::optional<std::vector<FileIdentity>> folder_and_ancestors(const std::wstring& path) {
  UniqueFile entry = open_entry(path);
  if (!entry) return std::nullopt;
  std::optional<FileIdentity> own = read_identity(entry.get());
  if (!own) return std::nullopt;
  std::vector<FileIdentity> chain = {*own};
  add_folders_up_to_root(absolute_path(path), &chain);
  // Every name joined to the folder goes through a link at its last step, so the folder that a
  // link leads to, and the folders above that one, count as well.
  // When the system resolves it to the very path it was given, that walk is the one just made.
  UniqueFile followed = open_path(path, FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
  const std::wstring resolved = resolved_path(followed ? followed.get() : entry.get());
  if (!same_text(without_device_prefix(resolved), without_device_prefix(absolute_path(path)))) {
    add_folders_up_to_root(resolved, &chain);
  }
  return chain;
}

bool is_volume_root(const std::wstring& path) {
  const std::wstring full = absolute_path(path);
  const size_t root = root_length(full);
  if (root > 0 && trimmed(full, root).size() <= root) return true;
  UniqueFile entry = open_entry(path);
  // The path of the entry within its volume: "\" for the root itself.
  return entry && final_path(entry.get(), VOLUME_NAME_NONE) == L"\\";
}

bool may_lie_within(const std::wstring& inner, const std::wstring& outer) {
  std::optional<FileIdentity> container = identity_of(outer);
  if (!container) return true;
  std::optional<std::vector<FileIdentity>> chain = folder_and_ancestors(inner);
  return chain && std::find(chain->begin(), chain->end(), *container) != chain->end();
}

}  // namespace tavrio
