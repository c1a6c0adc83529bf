// The shared fixture of the tests: scratch folders on the real file system, small file
// helpers, running the built programs and reading what they leave behind.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tavrio::test {

// Folder that holds every built exe (the running test's own folder).
std::wstring bin_dir();
std::wstring built_exe(const std::wstring& name);  // bin_dir() joined with name

// A fresh, empty scratch folder for the running test: <build>\scratch\<suite>\<test>.
std::wstring scratch_dir();

// UTF-8 <-> UTF-16 for test texts.
std::string narrow(const std::wstring& text);
std::wstring wide(const std::string& text);

void make_dirs(const std::wstring& path);
void write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);  // "" when missing
bool path_exists(const std::wstring& path);       // GetFileAttributesW, no fallbacks
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
};

struct RunResult {
  bool started = false;
  bool finished = false;  // ended within the time-out (it is killed otherwise)
  DWORD exit_code = 0;
  DWORD pid = 0;
};

// Starts a program with the given arguments (quoted by the common rules) and waits for it.
RunResult run(const std::wstring& program, const std::vector<std::wstring>& arguments,
              const RunOptions& options = {});
// Starts a program without waiting; the returned handle owns the process.
HANDLE spawn(const std::wstring& program, const std::vector<std::wstring>& arguments,
             const RunOptions& options = {});

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
