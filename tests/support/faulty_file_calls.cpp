// The file calls as a test build links them: the programs' own wrappers (file_calls.cpp and
// file_calls_stage.cpp, included below) with hooks that count the calls of an armed scope and fail
// the chosen one. Linked into a test executable directly, this object defines every wrapper, so
// the common library's own object is never pulled in.
#define TAVRIO_FILE_CALL_FAULTS 1

#include <map>
#include <optional>
#include <string_view>

#include "common/path.h"
#include "support/file_faults.h"

namespace tavrio::test {
namespace {

struct State {
  std::optional<FaultPlan> plan;  // set while armed
  FaultRecord record;
  std::map<HANDLE, bool> spared_handles;  // open handles, and whether they are on a spared file
  std::vector<int> held_seen;             // calls that met each held file so far
};

State& state() {
  static State s;
  return s;
}

bool same_path(const std::wstring& a, const std::wstring& b) {
  return same_name(without_device_prefix(a), without_device_prefix(b));
}

bool spared(const wchar_t* path, HANDLE handle) {
  const State& s = state();
  if (path != nullptr) {
    for (const std::wstring& file : s.plan->spared) {
      if (same_path(path, file)) return true;
    }
  }
  if (handle != nullptr) {
    auto found = s.spared_handles.find(handle);
    if (found != s.spared_handles.end() && found->second) return true;
  }
  return false;
}

}  // namespace

ArmedFaults::ArmedFaults(FaultPlan plan) {
  state().held_seen.assign(plan.held.size(), 0);
  state().plan = std::move(plan);
  state().record = {};
}

ArmedFaults::~ArmedFaults() {
  state().plan.reset();
}

FaultRecord& fault_record() {
  return state().record;
}

const char* call_name(calls::FileCall call) {
  using enum calls::FileCall;
  switch (call) {
    case kOpen:
      return "CreateFileW";
    case kOpenRelative:
      return "NtOpenFile";
    case kRename:
      return "MoveFileExW";
    case kCopy:
      return "CopyFileExW";
    case kFlush:
      return "FlushFileBuffers";
    case kDelete:
      return "DeleteFileW";
    case kSetInfo:
      return "SetFileInformationByHandle";
    case kQueryInfo:
      return "GetFileInformationByHandle";
    case kAttributes:
      return "GetFileAttributesExW";
    case kFind:
      return "FindFirst/NextFileW";
    case kWrite:
      return "WriteFile";
    case kRead:
      return "ReadFile";
    case kStartProcess:
      return "CreateProcessW";
  }
  return "?";
}

}  // namespace tavrio::test

namespace tavrio::calls {
namespace {

struct Fault {
  DWORD error = 0;
  NTSTATUS status = 0;
};

Fault injected_fault(FileCall call, const wchar_t* path, HANDLE handle) {
  test::State& s = test::state();
  if (!s.plan || test::spared(path, handle)) return {};
  const DWORD last = ::GetLastError();  // counting must not disturb it
  const std::uint64_t n = ++s.record.calls;
  const test::FaultPlan& plan = *s.plan;
  bool fails =
      plan.fail_at != 0 &&
      (n == plan.fail_at || (plan.mode == test::FaultMode::kFromThenOn && n > plan.fail_at));
  Fault fault{plan.error, plan.status};
  for (size_t i = 0; i < plan.held.size() && !fails && path != nullptr; ++i) {
    const test::HeldFile& held = plan.held[i];
    if (held.call != call || !std::wstring_view(path).ends_with(held.path_end)) continue;
    const int seen = ++s.held_seen[i];
    fails = seen > held.skip && seen <= held.skip + held.times;
    fault = {held.error, plan.status};
  }
  ::SetLastError(last);
  if (!fails) return {};
  if (s.record.failed++ == 0) {
    s.record.first_failed = call;
    s.record.first_failed_path = path != nullptr ? path : L"";
  }
  return fault;
}

void notice_open(HANDLE handle, const wchar_t* path) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  test::State& s = test::state();
  // A handle value is reused only once the handle it named was closed: the entry is renewed.
  s.spared_handles[handle] = s.plan && path != nullptr && test::spared(path, nullptr);
}

void notice_start(const wchar_t* program, const PROCESS_INFORMATION& started) {
  test::State& s = test::state();
  if (!s.plan) return;
  const DWORD last = ::GetLastError();
  HANDLE copy = nullptr;
  ::DuplicateHandle(::GetCurrentProcess(), started.hProcess, ::GetCurrentProcess(), &copy, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
  s.record.started.push_back({program, UniqueProcess(copy)});
  ::SetLastError(last);
}

}  // namespace
}  // namespace tavrio::calls

#include "common/file_calls.cpp"
#include "common/file_calls_stage.cpp"
