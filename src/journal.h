// The journal of a swap: a small file in the install directory that says how far a swap got,
// so that a run that was killed part-way can be finished or undone by the next run.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/os_error.h"

namespace tavrio::updater {

// How far the swap got. Each step is written once the change it names is on disk.
enum class JournalStep {
  kStarted,      // about to change the install directory: nothing of the installation moved yet
  kBackedUp,     // the program folder is the backup folder; the staged one is not in place yet
  kReplaced,     // the staged program folder is in place; the executable may still be the old one
  kRollingBack,  // the replacement failed: the backup is the version to put back
  kFinished,     // the new version is complete; what is left is the cleanup
};

struct Journal {
  JournalStep step = JournalStep::kStarted;
  std::wstring staging_dir;  // the staging directory whose version is being swapped in
};

// The journal's text: a first line that names the file, then "step=" and "stage=" lines.
std::string journal_text(const Journal& journal);
std::optional<Journal> parse_journal(std::string_view text);

enum class Durability {
  kFlushed,  // on the disk before this returns: written, flushed, renamed write-through
  kCached,   // whole (written under a temporary name and renamed), left to the system to flush
};

// Writes the journal under a temporary name and renames it into place, so that the journal is
// always one whole version or the other; flushed to disk first unless `durability` says the
// system's own flushing is enough.
Status write_journal(const std::wstring& path, const std::wstring& temporary,
                     const Journal& journal, Durability durability = Durability::kFlushed);

// The journal on disk; nullopt when there is none or it is not one of ours.
std::optional<Journal> read_journal(const std::wstring& path);

}  // namespace tavrio::updater
