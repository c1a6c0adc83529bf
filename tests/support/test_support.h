// The shared fixture of the tests: scratch folders on the real file system, small file
// helpers, running the built programs and reading what they leave behind.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/handles.h"
#include "support/scene.h"

namespace tavrio::test {

// Folder that holds every built exe (the running test's own folder).
std::wstring bin_dir();
std::wstring built_exe(const std::wstring& name);  // bin_dir() joined with name

// A fresh, empty scratch folder: <build>\scratch\<suite>\<test>, and <test>.2, <test>.3 ... for
// the later calls of the same test, so that every case of a table has a folder of its own that
// no process of an earlier case is still working in.
std::wstring scratch_dir();

// UTF-8 <-> UTF-16 for test texts.
std::string narrow(const std::wstring& text);
std::wstring wide(const std::string& text);

// make_dirs and read_file come with the scene builder.
void write_file(const std::wstring& path, const std::string& bytes);
bool path_exists(const std::wstring& path);  // GetFileAttributesW, no fallbacks
bool is_dir(const std::wstring& path);
void set_read_only(const std::wstring& path, bool read_only);
bool files_equal(const std::wstring& a, const std::wstring& b);
// Relative paths of everything below root, folders with a trailing "\", sorted.
std::vector<std::wstring> list_tree(const std::wstring& root);
// Removes a scratch tree with plain Win32 calls (clears read-only first).
void remove_all(const std::wstring& path);

// Lines of a log file without their line feeds.
std::vector<std::string> read_lines(const std::wstring& path);
// The messages of log lines; fails the test when a line lacks the "HH:MM:SS  " stamp.
std::vector<std::string> log_messages(const std::wstring& path);
bool is_stamp(const std::string& text);  // "HH:MM:SS" with valid ranges

struct RunOptions {
  std::wstring current_directory;  // empty: the test's own
  // Environment changes for the child: a value sets, nullopt removes the variable.
  std::map<std::wstring, std::optional<std::wstring>> environment;
  DWORD timeout_ms = 60000;
  // run() also waits until every process the program started (the cleanup copy, a restarted
  // application) has ended, so that what they did, or did not do, is final.
  bool wait_for_descendants = false;
};

struct JobTraits : InvalidIsNull {};
using UniqueJob = UniqueHandle<JobTraits>;  // CreateJobObjectW

// A process a test started, together with everything it starts in turn (they share a job
// object). It is ended with its test, whatever way the test ends, so that no stand-in keeps
// running (and holding files or inherited handles) after a failure.
class StartedProcess {
 public:
  StartedProcess() = default;
  StartedProcess(HANDLE process, HANDLE job);
  StartedProcess(StartedProcess&& other) noexcept = default;
  StartedProcess& operator=(StartedProcess&& other) noexcept;
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;
  ~StartedProcess();

  explicit operator bool() const { return process_.valid(); }
  bool valid() const { return process_.valid(); }
  HANDLE get() const { return process_.get(); }
  DWORD pid() const;
  bool ended_within(DWORD ms) const;
  // The same for a process that must end: when it does not, the failure carries a backtrace of
  // its threads, taken before the test ends it, which tells a hang in the program from one in
  // the test.
  ::testing::AssertionResult ends_within(DWORD ms) const;
  DWORD exit_code() const;
  // Waits until this process and everything it started have ended.
  bool family_ended_within(DWORD ms) const;
  // How many processes ran in the family so far, this one included.
  DWORD processes_started() const;
  void end_now();

 private:
  UniqueProcess process_;
  UniqueJob job_;
};

struct RunResult {
  bool started = false;
  bool finished = false;  // ended within the time-out (it is killed otherwise)
  DWORD exit_code = 0;
  DWORD pid = 0;
  DWORD processes_started = 0;  // with wait_for_descendants: the program and all it started
};

// Starts a program with the given arguments (quoted by the common rules) and waits for it.
RunResult run(const std::wstring& program, const std::vector<std::wstring>& arguments,
              const RunOptions& options = {});
// Starts a program without waiting. Wine now and then refuses a start under load with error
// 1359; such a start is tried again, and every retry is printed.
StartedProcess spawn(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const RunOptions& options = {});

// Text of what every thread of a process is doing (winedbg), or why there is none.
std::string backtrace_of(DWORD pid);

// Sets (or with nullopt removes) an environment variable of this process for one scope.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const wchar_t* name, const std::optional<std::wstring>& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::wstring name_;
  std::optional<std::wstring> old_;
};

// Makes a folder this process's current folder for one scope; the previous one comes back
// however the scope ends. ok() tells whether the change was made.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::wstring& folder);
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;
  bool ok() const { return changed_; }

 private:
  std::wstring old_;
  bool changed_ = false;
};

// Windows as a user (or an accessibility tool) finds them.
struct WindowQuery {
  std::wstring window_class;
  DWORD pid = 0;                   // 0: any process
  HWND owner = nullptr;            // nullptr: any owner
  std::vector<int> controls = {};  // ids of child controls that must exist
  HDESK desktop = nullptr;         // nullptr: the test's own desktop
};
// A window counts as found once it is visible and its controls exist: a window is findable
// while it is still being built, before it can be used.
HWND find_window(const WindowQuery& query);
HWND wait_for_window(const WindowQuery& query, DWORD timeout_ms);
std::wstring class_of(HWND window);
std::string text_of(HWND window);
// Presses a button the way a user's click arrives: the mouse going down and up over it. Fails
// when the window has no such button.
::testing::AssertionResult press(HWND window, int id);

// Polls until the condition holds or the time runs out; returns the last result.
bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms, DWORD step_ms = 50);

// Milliseconds from a monotonic clock.
std::uint64_t now_ms();

// The Linux path of a Windows path under Wine (Z:\a\b -> /a/b); empty when not under Wine or
// not mappable.
std::string linux_path(const std::wstring& path);
bool running_under_wine();
// Runs a Linux command line through /bin/sh (under Wine only); returns its exit code or -1.
int run_linux(const std::string& command);

}  // namespace tavrio::test
