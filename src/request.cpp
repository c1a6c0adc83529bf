#include "request.h"

#include "common/command_line.h"
#include "common/path.h"

namespace tavrio::updater {

std::optional<UpdateRequest> read_update_request(const std::vector<std::wstring>& arguments) {
  UpdateRequest request;
  // The first argument is the program path; a last key without a value is ignored.
  for (size_t i = 1; i + 1 < arguments.size(); i += 2) {
    const std::wstring& key = arguments[i];
    const std::wstring& value = arguments[i + 1];
    if (key == kPidKey) {
      request.process_id = read_process_id(value).value_or(0);
    } else if (key == kAppKey) {
      request.install_dir = value;
    } else if (key == kExeKey) {
      request.exe_name = value;
    } else if (key == kStageKey) {
      request.staging_dir = value;
    } else if (key == kLogKey) {
      request.log_path = value;
    } else if (key == kReadyKey) {
      request.ready_event = value;
    }
  }
  if (request.install_dir.empty() || request.exe_name.empty() || request.staging_dir.empty()) {
    return std::nullopt;
  }
  return request;
}

UpdateRequest with_absolute_paths(UpdateRequest request) {
  request.install_dir = absolute_path(request.install_dir);
  request.staging_dir = absolute_path(request.staging_dir);
  return request;
}

}  // namespace tavrio::updater
