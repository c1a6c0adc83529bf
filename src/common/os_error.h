// A Win32 error as a value, and the one place that turns it into the text users see.
#pragma once

#include <windows.h>

#include <string>

namespace tavrio {

struct OsError {
  DWORD code;
};

// Success, or the Win32 error that stopped an operation. A failure never carries code 0.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(OsError e) : code_(e.code == 0 ? ERROR_GEN_FAILURE : e.code) {}  // NOLINT
  bool ok() const { return code_ == 0; }
  DWORD code() const { return code_; }
  OsError error() const { return {code_}; }

 private:
  DWORD code_ = 0;
};

// GetLastError() captured right after a failing call; never 0.
OsError last_error();

// "<system message> (os error N)", UTF-8.
std::string error_text(OsError e);
inline std::string error_text(Status s) {
  return error_text(s.error());
}

}  // namespace tavrio
