// The update log: the one way the updater writes its lines (their texts are in messages.h).
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tavrio::updater {

// Appends time-stamped lines to the file named by "--log". A line that cannot be written is
// dropped; the update goes on, and the next line tries again.
class UpdateLog {
 public:
  explicit UpdateLog(std::wstring path) : path_(std::move(path)) {}
  void append(std::string_view message) const;
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

}  // namespace tavrio::updater
