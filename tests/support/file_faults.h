// Faults on purpose: a test build of the file calls (faulty_file_calls.cpp, linked into a test
// executable in place of the programs' own) that counts the file and process calls of a run and
// makes the Nth fail, once or from then on, the way the system fails it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/file_calls.h"
#include "common/handles.h"

namespace tavrio::test {

enum class FaultMode {
  kOnce,        // the Nth call fails, the rest run
  kFromThenOn,  // the Nth call and every later one fail
};

// Calls of one kind on one file (a path that ends so) that fail for a while, as when another
// program holds the file: the first `skip` such calls run, the next `times` fail with `error`.
struct HeldFile {
  calls::FileCall call = calls::FileCall::kRename;
  std::wstring path_end;
  int skip = 0;
  int times = 1;
  DWORD error = ERROR_SHARING_VIOLATION;
};

struct FaultPlan {
  std::uint64_t fail_at = 0;  // the Nth counted call, from 1; 0: none fails
  FaultMode mode = FaultMode::kOnce;
  DWORD error = ERROR_ACCESS_DENIED;
  NTSTATUS status = static_cast<NTSTATUS>(0xC0000022);  // what NtOpenFile returns instead
  std::vector<HeldFile> held = {};  // beside the Nth call's fault, or instead of it (fail_at 0)
  // Files that are neither counted nor failed: the logs through which a run reports, which the
  // table reads. Their opens and every call on the handles opened on them are left alone.
  std::vector<std::wstring> spared;
};

// A process that a run started.
struct StartedByRun {
  std::wstring program;
  UniqueProcess process;
};

// What the armed calls saw.
struct FaultRecord {
  std::uint64_t calls = 0;   // counted so far
  std::uint64_t failed = 0;  // of them failed
  calls::FileCall first_failed = calls::FileCall::kOpen;
  std::wstring first_failed_path;  // when the call names one
  std::vector<StartedByRun> started;
};

// Counts (and fails by the plan) the calls made while it lives; the record starts empty.
class ArmedFaults {
 public:
  explicit ArmedFaults(FaultPlan plan);
  ~ArmedFaults();
  ArmedFaults(const ArmedFaults&) = delete;
  ArmedFaults& operator=(const ArmedFaults&) = delete;
};

// The record of the last armed scope (kept after it ended).
FaultRecord& fault_record();

// A name for the kind of call, for messages.
const char* call_name(calls::FileCall call);

}  // namespace tavrio::test
