#include "update_log.h"

#include "common/log_line.h"

namespace tavrio::updater {

void UpdateLog::append(std::string_view message) const {
  append_log_line(path_, message);
}

}  // namespace tavrio::updater
