// Telling folders apart by what they are rather than by how they are spelled: the same folder
// can be named through "\\.\", "\??\", forward slashes, its 8.3 short name, another drive letter
// mapped onto it or a junction, and only its identity says it is the same.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrio {

// The volume's serial number and the file id: equal for every name of one file or folder.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::array<std::uint8_t, 16> file_id{};
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The volume's serial number and the file index as GetFileInformationByHandle gives them: the
// identity that any program can read with that one call (the application does, to name the
// updater's lock the way the updater names it).
struct FileIndex {
  std::uint32_t volume_serial = 0;
  std::uint64_t file_index = 0;
  friend bool operator==(const FileIndex&, const FileIndex&) = default;
};

// The file index of the entry that `path` leads to, links followed; nullopt when it cannot be
// opened or the file system gives none.
std::optional<FileIndex> file_index_of(const std::wstring& path);

// The identity of the entry at `path` itself: a link at the last step is not followed.
// nullopt when it cannot be opened.
std::optional<FileIdentity> identity_of(const std::wstring& path);

// The identities of a folder and of every folder above it up to its volume's root, walked both
// along the path as spelled and along the path the system resolves the folder to (through any
// link or mapped drive on the way, a link at the folder itself included). nullopt when the
// folder itself cannot be opened.
std::optional<std::vector<FileIdentity>> folder_and_ancestors(const std::wstring& path);

// True when `path` names the root of a volume or of a network share, by its spelling or by what
// the system resolves it to.
bool is_volume_root(const std::wstring& path);

// True when `inner` is `outer` itself or lies anywhere below it, whatever either is called;
// also true when `outer` cannot be opened, since nothing can then be proven about it. False
// when `inner` cannot be opened.
bool may_lie_within(const std::wstring& inner, const std::wstring& outer);

}  // namespace tavrio
