// The hooks of the file calls: in the programs' build they do nothing. A test build defines
// TAVRIO_FILE_CALL_FAULTS and its own hooks before it includes the wrappers' sources.
#pragma once

#include "common/file_calls.h"

#ifndef TAVRIO_FILE_CALL_FAULTS
namespace tavrio::calls {
namespace {

struct Fault {
  DWORD error = 0;  // the Win32 error the call fails with; 0: the call runs
  NTSTATUS status = 0;
};
constexpr Fault injected_fault(FileCall, const wchar_t*, HANDLE) {
  return {};
}
inline void notice_open(HANDLE, const wchar_t*) {}
inline void notice_start(const wchar_t*, const PROCESS_INFORMATION&) {}

}  // namespace
}  // namespace tavrio::calls
#endif

namespace tavrio::calls {
namespace {

// The failure as the system gives it: its value, with the error set for GetLastError.
template <typename Result>
Result failed(const Fault& fault, Result value) {
  ::SetLastError(fault.error);
  return value;
}

}  // namespace
}  // namespace tavrio::calls
