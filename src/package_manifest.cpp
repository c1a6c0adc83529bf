#include "package_manifest.h"

#include <windows.h>
#include <bcrypt.h>
#include <winternl.h>

#include <algorithm>
#include <optional>

#include "common/directory_listing.h"
#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/handles.h"
#include "common/os_error.h"
#include "common/path.h"
#include "common/text.h"
#include "common/bundle.h"
#include "common/file_name.h"

namespace tavrio::updater {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr DWORD kHashChunkBytes = 1024 * 1024;
constexpr std::size_t kListingBufferBytes = 64 * 1024;

// ---- parsing

std::string line_error(std::size_t number, std::string_view what) {
  std::string text(kManifestLinePrefix);
  text += decimal(number);
  text += what;
  return text;
}

std::size_t count_lines(std::string_view text) {
  const std::size_t ends = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  return ends + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

bool parse_size(std::string_view digits, std::uint64_t* size) {
  if (digits.empty()) return false;
  std::uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool parse_sha256(std::string_view hex, std::array<unsigned char, 32>* sha256) {
  if (hex.size() != 64) return false;
  for (std::size_t i = 0; i < 32; ++i) {
    const int high = hex_value(hex[2 * i]);
    const int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*sha256)[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

// Every name between the "\" is one that can only mean an entry of the folder before it, so the
// path stays inside the staging directory whatever Win32 makes of it.
bool is_path_inside(std::wstring_view path) {
  for (;;) {
    const std::size_t separator = path.find(L'\\');
    if (!is_plain_file_name(path.substr(0, separator))) return false;
    if (separator == std::wstring_view::npos) return true;
    path.remove_prefix(separator + 1);
  }
}

enum class LineFault { kNone, kMalformed, kPathOutside };

LineFault parse_entry(std::string_view line, ManifestEntry* entry) {
  const std::size_t first = line.find('\t');
  const std::size_t second = first == line.npos ? line.npos : line.find('\t', first + 1);
  if (second == line.npos || line.find('\t', second + 1) != line.npos) {
    return LineFault::kMalformed;
  }
  const std::string_view path = line.substr(0, first);
  if (path.empty() || !parse_size(line.substr(first + 1, second - first - 1), &entry->size) ||
      !parse_sha256(line.substr(second + 1), &entry->sha256)) {
    return LineFault::kMalformed;
  }
  entry->path = widen(path);
  // Only valid UTF-8 comes back unchanged: a path that widen() had to mend names no file.
  if (display_form(entry->path) != path) return LineFault::kMalformed;
  return is_path_inside(entry->path) ? LineFault::kNone : LineFault::kPathOutside;
}

// The entries' indices ordered by path, and among equal paths by their place in the manifest.
std::vector<std::size_t> sorted_by_path(const std::vector<ManifestEntry>& entries) {
  std::vector<std::size_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int c = compare_names(entries[a].path, entries[b].path);
    return c < 0 || (c == 0 && a < b);
  });
  return order;
}

// The index of the first entry whose path an earlier entry has already; none when all differ.
std::optional<std::size_t> first_repeated(const std::vector<ManifestEntry>& entries,
                                          const std::vector<std::size_t>& order) {
  std::optional<std::size_t> first;
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (compare_names(entries[order[i - 1]].path, entries[order[i]].path) == 0 &&
        (!first || order[i] < *first)) {
      first = order[i];
    }
  }
  return first;
}

ParsedManifest invalid_parse(std::string error) {
  ParsedManifest parsed;
  parsed.error = std::move(error);
  return parsed;
}

// ---- checking

void close_algorithm(BCRYPT_ALG_HANDLE algorithm) {
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
}
void destroy_hash(BCRYPT_HASH_HANDLE hash) {
  ::BCryptDestroyHash(hash);
}
struct AlgorithmTraits : HandleTraits<BCRYPT_ALG_HANDLE, 0, &close_algorithm> {};
struct HashTraits : HandleTraits<BCRYPT_HASH_HANDLE, 0, &destroy_hash> {};
using UniqueAlgorithm = UniqueHandle<AlgorithmTraits>;  // BCryptOpenAlgorithmProvider
using UniqueHash = UniqueHandle<HashTraits>;            // BCryptCreateHash

std::string cng_error_text(NTSTATUS status) {
  return error_text(OsError{static_cast<DWORD>(::RtlNtStatusToDosError(status))});
}

ManifestCheck damaged(std::wstring path) {
  ManifestCheck check;
  check.verdict = ManifestVerdict::kDamaged;
  check.damaged_path = std::move(path);
  return check;
}

ManifestCheck invalid(std::string error) {
  ManifestCheck check;
  check.verdict = ManifestVerdict::kInvalid;
  check.error = std::move(error);
  return check;
}

enum class ReadOutcome { kRead, kAbsent, kFailed, kTooLarge };

// The manifest's bytes, read only once its size is known to be within the limit.
ReadOutcome read_manifest(const std::wstring& path, std::string* text, Status* error) {
  UniqueFile file =
      open_path(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN, {.share = FILE_SHARE_READ});
  if (!file) {
    *error = last_error();
    const DWORD code = error->code();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ReadOutcome::kAbsent
                                                                        : ReadOutcome::kFailed;
  }
  LARGE_INTEGER size;
  if (!calls::get_file_size(file.get(), &size)) {
    *error = last_error();
    return ReadOutcome::kFailed;
  }
  if (static_cast<std::uint64_t>(size.QuadPart) > kMaxManifestBytes) return ReadOutcome::kTooLarge;
  text->resize(static_cast<std::size_t>(size.QuadPart));
  std::size_t filled = 0;
  while (filled < text->size()) {
    DWORD read = 0;
    if (!calls::read_file(file.get(), text->data() + filled,
                          static_cast<DWORD>(text->size() - filled), &read)) {
      *error = last_error();
      return ReadOutcome::kFailed;
    }
    if (read == 0) break;  // it shrank since its size was read
    filled += read;
  }
  text->resize(filled);
  return ReadOutcome::kRead;
}

bool has_listed_size(const std::wstring& path, std::uint64_t size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!calls::get_file_attributes(win32_path(path).c_str(), &data)) return false;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  return ((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == size;
}

// Finds a path among the listed ones, ignoring case.
class ListedPaths {
 public:
  explicit ListedPaths(const std::vector<ManifestEntry>& entries)
      : entries_(entries), order_(sorted_by_path(entries)) {}
  bool contains(const std::wstring& path) const {
    auto at = std::lower_bound(order_.begin(), order_.end(), path,
                               [&](std::size_t i, const std::wstring& p) {
                                 return compare_names(entries_[i].path, p) < 0;
                               });
    return at != order_.end() && compare_names(entries_[*at].path, path) == 0;
  }

 private:
  const std::vector<ManifestEntry>& entries_;
  std::vector<std::size_t> order_;
};

bool is_real_folder(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Walks the staged program folder without entering links; the full path of the first entry
// that is not listed (or of a folder that cannot be listed), or nothing. A staged program folder
// that is itself a link is such an entry: it would be moved into the installation as it is.
std::optional<std::wstring> first_unlisted(const std::wstring& staging_dir,
                                           const ListedPaths& listed) {
  const std::wstring program_folder = join(staging_dir, std::wstring(bundle::kProgramFolder));
  WIN32_FILE_ATTRIBUTE_DATA root;
  if (!calls::get_file_attributes(win32_path(program_folder).c_str(), &root)) {
    // No program folder at all: its listed files are missing, which the sizes have shown.
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    return program_folder;
  }
  if (!is_real_folder(root.dwFileAttributes)) return program_folder;
  std::vector<std::wstring> folders = {std::wstring(bundle::kProgramFolder)};  // relative paths
  std::vector<char> buffer(kListingBufferBytes);
  while (!folders.empty()) {
    const std::wstring folder = std::move(folders.back());
    folders.pop_back();
    const std::wstring full = join(staging_dir, folder);
    UniqueFile directory = open_for_listing(full);
    std::vector<ListedEntry> entries;
    if (!directory || !list_directory(directory.get(), buffer, &entries).ok()) return full;
    for (const ListedEntry& listed_entry : entries) {
      const std::wstring entry = folder + L"\\" + listed_entry.name;
      if (is_real_folder(listed_entry.attributes)) {
        folders.push_back(entry);
      } else if (!listed.contains(entry)) {
        return join(staging_dir, entry);
      }
    }
  }
  return std::nullopt;
}

enum class Hashed { kListed, kDifferent, kFailed };

// Reads the file in large sequential chunks through the hash; a file that cannot be opened or
// read, or that holds another number of bytes than listed, is different.
Hashed hash_file(BCRYPT_ALG_HANDLE algorithm, const std::wstring& path, const ManifestEntry& entry,
                 std::vector<unsigned char>& buffer, NTSTATUS* status) {
  UniqueFile file =
      open_path(path, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN, {.share = FILE_SHARE_READ});
  if (!file) return Hashed::kDifferent;
  BCRYPT_HASH_HANDLE raw = nullptr;
  if (*status = ::BCryptCreateHash(algorithm, &raw, nullptr, 0, nullptr, 0, 0); *status < 0) {
    return Hashed::kFailed;
  }
  UniqueHash hash(raw);
  std::uint64_t total = 0;
  for (;;) {
    DWORD read = 0;
    if (!calls::read_file(file.get(), buffer.data(), kHashChunkBytes, &read)) {
      return Hashed::kDifferent;
    }
    if (read == 0) break;
    total += read;
    if (total > entry.size) return Hashed::kDifferent;
    if (*status = ::BCryptHashData(hash.get(), buffer.data(), read, 0); *status < 0) {
      return Hashed::kFailed;
    }
  }
  std::array<unsigned char, 32> digest;
  if (*status = ::BCryptFinishHash(hash.get(), digest.data(), 32, 0); *status < 0) {
    return Hashed::kFailed;
  }
  return total == entry.size && digest == entry.sha256 ? Hashed::kListed : Hashed::kDifferent;
}

ManifestCheck check_files(const std::wstring& staging_dir,
                          const std::vector<ManifestEntry>& entries) {
  for (const ManifestEntry& entry : entries) {
    std::wstring path = join(staging_dir, entry.path);
    if (!has_listed_size(path, entry.size)) return damaged(std::move(path));
  }
  if (std::optional<std::wstring> extra = first_unlisted(staging_dir, ListedPaths(entries))) {
    return damaged(std::move(*extra));
  }
  BCRYPT_ALG_HANDLE raw = nullptr;
  if (NTSTATUS s = ::BCryptOpenAlgorithmProvider(&raw, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
      s < 0) {
    return invalid(cng_error_text(s));
  }
  UniqueAlgorithm algorithm(raw);
  std::vector<unsigned char> buffer(kHashChunkBytes);
  for (const ManifestEntry& entry : entries) {
    std::wstring path = join(staging_dir, entry.path);
    NTSTATUS status = 0;
    switch (hash_file(algorithm.get(), path, entry, buffer, &status)) {
      case Hashed::kListed:
        break;
      case Hashed::kDifferent:
        return damaged(std::move(path));
      case Hashed::kFailed:
        return invalid(cng_error_text(status));
    }
  }
  ManifestCheck check;
  check.verdict = ManifestVerdict::kMatches;
  return check;
}

}  // namespace

ParsedManifest parse_manifest(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  if (count_lines(text) > kMaxManifestLines)
    return invalid_parse(std::string(kManifestTooManyLines));
  ParsedManifest parsed;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.npos ? text.size() : end + 1);
    if (end != text.npos && line.ends_with('\r')) line.remove_suffix(1);
    if (++number == 1) {
      if (line != kManifestHeader) return invalid_parse(std::string(kManifestNotTheFormat));
      continue;
    }
    ManifestEntry& entry = parsed.entries.emplace_back();
    switch (parse_entry(line, &entry)) {
      case LineFault::kNone:
        break;
      case LineFault::kMalformed:
        return invalid_parse(line_error(number, kManifestLineMalformed));
      case LineFault::kPathOutside:
        return invalid_parse(line_error(number, kManifestPathOutside));
    }
  }
  if (number == 0) return invalid_parse(std::string(kManifestNotTheFormat));
  if (std::optional<std::size_t> repeated =
          first_repeated(parsed.entries, sorted_by_path(parsed.entries))) {
    return invalid_parse(line_error(*repeated + 2, kManifestPathRepeated));
  }
  if (parsed.entries.empty()) return invalid_parse(std::string(kManifestListsNothing));
  return parsed;
}

ManifestCheck check_package_manifest(const std::wstring& staging_dir) {
  std::string text;
  Status error;
  switch (read_manifest(join(staging_dir, bundle::kPackageManifest), &text, &error)) {
    case ReadOutcome::kRead:
      break;
    case ReadOutcome::kAbsent:
      return {};
    case ReadOutcome::kFailed:
      return invalid(error_text(error));
    case ReadOutcome::kTooLarge:
      return invalid(std::string(kManifestTooLarge));
  }
  ParsedManifest parsed = parse_manifest(text);
  if (!parsed.ok()) return invalid(std::move(parsed.error));
  return check_files(staging_dir, parsed.entries);
}

}  // namespace tavrio::updater
