// The result of a step that can fail: success, or which step failed, with the operating system's
// error and the path or name it concerns. The one shape for every such step of both programs.
#pragma once

#include <string>
#include <utility>

#include "common/os_error.h"

namespace tavrio {

// `Step` names the steps that can fail (an enum of the module that runs them).
template <typename Step>
class [[nodiscard]] StepResult {
 public:
  StepResult() = default;  // success

  static StepResult failed(Step step, Status error = {}, std::wstring subject = {}) {
    StepResult result;
    result.failed_ = true;
    result.step_ = step;
    result.error_ = error;
    result.subject_ = std::move(subject);
    return result;
  }

  bool ok() const { return !failed_; }
  Step step() const { return step_; }
  Status error() const { return error_; }                   // for a step that failed on an error
  const std::wstring& subject() const { return subject_; }  // for one that names a path or name

 private:
  bool failed_ = false;
  Step step_{};
  Status error_;
  std::wstring subject_;
};

}  // namespace tavrio
