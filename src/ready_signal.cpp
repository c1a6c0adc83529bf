#include "ready_signal.h"

#include "common/os_error.h"
#include "messages.h"

namespace tavrio::updater {

UniqueEvent open_ready_event(const std::optional<std::wstring>& name, const UpdateLog& log) {
  if (!name) return {};
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name->c_str());
  if (event == nullptr) {
    const OsError error = last_error();
    log.append(ready_event_unopened_line(*name, error));
  }
  return UniqueEvent(event);
}

ReadySet real_ready_set() {
  return [](HANDLE event) { ::SetEvent(event); };
}

}  // namespace tavrio::updater
