#include "journal.h"

#include <windows.h>

#include <iterator>

#include "common/entry_handles.h"
#include "common/file_calls.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "common/path.h"
#include "common/text.h"

namespace tavrio::updater {
namespace {

constexpr std::string_view kHeading = "tavrio update journal 1\n";
constexpr std::string_view kStepKey = "step=";
constexpr std::string_view kStageKey = "stage=";
constexpr DWORD kMaxJournalBytes = 64 * 1024;

struct StepName {
  JournalStep step;
  std::string_view name;
};
constexpr StepName kStepNames[] = {
    {JournalStep::kStarted, "started"},   {JournalStep::kBackedUp, "backed-up"},
    {JournalStep::kReplaced, "replaced"}, {JournalStep::kRollingBack, "rolling-back"},
    {JournalStep::kFinished, "finished"},
};

std::string_view name_of(JournalStep step) {
  for (const StepName& s : kStepNames) {
    if (s.step == step) return s.name;
  }
  return {};
}

std::optional<JournalStep> journal_step_named(std::string_view name) {
  for (const StepName& s : kStepNames) {
    if (s.name == name) return s.step;
  }
  return std::nullopt;
}

}  // namespace

std::string journal_text(const Journal& journal) {
  std::string text(kHeading);
  text += kStepKey;
  text += name_of(journal.step);
  text += '\n';
  text += kStageKey;
  text += display_form(journal.staging_dir);
  text += '\n';
  return text;
}

std::optional<Journal> parse_journal(std::string_view text) {
  if (!text.starts_with(kHeading)) return std::nullopt;
  text.remove_prefix(kHeading.size());
  Journal journal;
  bool have_step = false;
  bool have_stage = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) return std::nullopt;  // cut short
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end + 1);
    if (line.starts_with(kStepKey)) {
      std::optional<JournalStep> step = journal_step_named(line.substr(kStepKey.size()));
      if (!step) return std::nullopt;
      journal.step = *step;
      have_step = true;
    } else if (line.starts_with(kStageKey)) {
      journal.staging_dir = widen(line.substr(kStageKey.size()));
      have_stage = true;
    }
  }
  if (!have_step || !have_stage) return std::nullopt;
  return journal;
}

Status write_journal(const std::wstring& path, const std::wstring& temporary,
                     const Journal& journal, Durability durability) {
  const bool flushed = durability == Durability::kFlushed;
  {
    UniqueFile file = open_path(temporary, GENERIC_WRITE, FILE_ATTRIBUTE_NORMAL,
                                {.share = kShareNone, .disposition = CREATE_ALWAYS});
    if (!file) return last_error();
    if (!write_all(file.get(), journal_text(journal))) return last_error();
    if (flushed && !calls::flush_file_buffers(file.get())) return last_error();
  }
  return rename_path(temporary, path, flushed ? RenameFlush::kWriteThrough : RenameFlush::kNone);
}

std::optional<Journal> read_journal(const std::wstring& path) {
  UniqueFile file = open_path(path, GENERIC_READ, 0);
  if (!file) return std::nullopt;
  std::string text(kMaxJournalBytes, '\0');
  DWORD read = 0;
  if (!calls::read_file(file.get(), text.data(), kMaxJournalBytes, &read)) return std::nullopt;
  text.resize(read);
  return parse_journal(text);
}

}  // namespace tavrio::updater
