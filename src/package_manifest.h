// The package manifest: an optional file "package.manifest" at the top of the staging directory
// that lists every file of the prepared version with its size and SHA-256, so that a download or
// an extraction that was cut off or damaged is refused before the installation is touched.
//
// Format (UTF-8):
//   tavrio-package 1
//   <path>\t<size>\t<sha256>
//   ...
// - The first line is exactly "tavrio-package 1"; a UTF-8 byte-order mark before it is skipped
//   (editors and PowerShell write one).
// - Every further line names one file: its path relative to the staging directory with "\"
//   between the names, a tab, its size in bytes (decimal digits, at most 2^64 - 1), a tab, and
//   its SHA-256 as 64 lower-case hexadecimal digits. Nothing else: no blank lines, no comments,
//   no spaces around the fields.
// - Lines end in LF or CRLF; the last line may end without one.
// - Every name in a path is a plain file name (no "." or "..", no drive, no ":" or "/", no
//   device name, no trailing dot or space) and no name is empty, so a path can never lead out of
//   the staging directory; such a path is a manifest error and is never opened.
// - A path appears once: paths are compared ignoring case, as Windows compares file names.
// - At least one file is listed; at most 1,000,000 lines and 64 MB in all.
//
// Folders are not listed; they are implied by the paths of their files.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrio::updater {

inline constexpr std::string_view kManifestHeader = "tavrio-package 1";
inline constexpr std::size_t kMaxManifestLines = 1'000'000;
inline constexpr std::uint64_t kMaxManifestBytes = 64ull * 1024 * 1024;

// Why a manifest is invalid: fixed texts, some of them around a line number ("第 N 行...": line N,
// counted from 1 with the first line).
inline constexpr std::string_view kManifestNotTheFormat =
    "不是 tavrio-package 1 格式";  // the first line is not "tavrio-package 1"
inline constexpr std::string_view kManifestTooLarge = "超过 64 MB";  // larger than 64 MB
inline constexpr std::string_view kManifestTooManyLines =
    "超过 1000000 行";  // more than 1,000,000 lines
inline constexpr std::string_view kManifestListsNothing = "没有列出任何文件";  // lists no file
inline constexpr std::string_view kManifestLinePrefix = "第 ";
inline constexpr std::string_view kManifestLineMalformed = " 行格式错误";  // line N malformed
// Line N names a path that is not inside the staging directory.
inline constexpr std::string_view kManifestPathOutside = " 行的路径不在暂存目录内";
// Line N names a path that an earlier line named already.
inline constexpr std::string_view kManifestPathRepeated = " 行的路径重复";

struct ManifestEntry {
  std::wstring path;  // relative to the staging directory, "\" between the names
  std::uint64_t size = 0;
  std::array<unsigned char, 32> sha256{};
};

struct ParsedManifest {
  std::vector<ManifestEntry> entries;  // in the manifest's order
  std::string error;                   // why the manifest is invalid; empty when it is valid
  bool ok() const { return error.empty(); }
};

// Reads a manifest's text. The first fault found ends the parse: too many lines; then the first
// line that is not the header, is malformed or names an unsafe path, in the order of the lines;
// then the first path that repeats an earlier one; then a manifest that lists nothing.
ParsedManifest parse_manifest(std::string_view text);

enum class ManifestVerdict {
  kNoManifest,  // the staging directory holds no "package.manifest"
  kMatches,     // every listed file is there as listed, and nothing more under "_internal"
  kDamaged,     // a file is missing, differs, or is not listed
  kInvalid,     // the manifest cannot be read, is not valid, or the files cannot be hashed
};

struct ManifestCheck {
  ManifestVerdict verdict = ManifestVerdict::kNoManifest;
  std::wstring damaged_path;  // kDamaged: the full path of the first file that does not match
  std::string error;          // kInvalid: why, UTF-8 (a text above, or an OS error text)
};

// Checks the staging directory against its manifest, cheapest first: every listed file exists
// as a file with the listed size (in the manifest's order); then "_internal" holds nothing that
// is not listed (links are not followed: an unlisted link is an extra entry, and so are a folder
// that cannot be listed and a program folder that is itself a link); then every listed file has the
// listed SHA-256 (in the manifest's order). The first mismatch is named. A manifest that cannot be
// opened or read is invalid with the OS error text, one over 64 MB is invalid without being read.
ManifestCheck check_package_manifest(const std::wstring& staging_dir);

}  // namespace tavrio::updater
