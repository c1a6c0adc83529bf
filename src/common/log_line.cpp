#include "common/log_line.h"

#include <windows.h>

#include "common/clock.h"
#include "common/entry_handles.h"
#include "common/file_ops.h"
#include "common/handles.h"
#include "common/path.h"

namespace tavrio {
namespace {

// FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the current end of the file,
// even when another process appends at the same time.
constexpr DWORD kAppendAccess = 0x120114;

}  // namespace

void append_log_line(const std::wstring& log_path, std::string_view message) {
  std::string line = time_of_day_stamp();
  if (log_path.empty()) return;
  line += "  ";
  line += message;
  line += '\n';
  UniqueFile file = open_path(log_path, kAppendAccess, 0, {.disposition = OPEN_ALWAYS});
  if (!file) return;
  write_all(file.get(), line);
}

}  // namespace tavrio
