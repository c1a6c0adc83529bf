#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/command_line.h"
#include "common/handles.h"
#include "common/process_ops.h"
#include "common/text.h"

namespace tavrio::test {
namespace {

std::wstring parent_of(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring long_form(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0 || path.size() < 240) return path;
  wchar_t full[32768];
  DWORD n = ::GetFullPathNameW(path.c_str(), 32768, full, nullptr);
  if (n == 0 || n >= 32768) return path;
  return L"\\\\?\\" + std::wstring(full, n);
}

std::wstring sanitized(std::string name) {
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' ||
        c == '|' || c == '"') {
      c = '_';
    }
  }
  return wide(name);
}

std::vector<wchar_t> environment_block(
    const std::map<std::wstring, std::optional<std::wstring>>& changes) {
  std::map<std::wstring, std::wstring, bool (*)(const std::wstring&, const std::wstring&)> vars(
      [](const std::wstring& a, const std::wstring& b) {
        return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
      });
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
    std::wstring entry(p);
    size_t eq = entry.find(L'=', 1);
    if (eq == std::wstring::npos) continue;
    vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  ::FreeEnvironmentStringsW(block);
  for (const auto& [name, value] : changes) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<wchar_t> out;
  for (const auto& [name, value] : vars) {
    std::wstring entry = name + L"=" + value;
    out.insert(out.end(), entry.begin(), entry.end());
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

}  // namespace

std::wstring bin_dir() {
  wchar_t path[MAX_PATH * 4];
  DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return parent_of(std::wstring(path, n));
}

std::wstring built_exe(const std::wstring& name) {
  return bin_dir() + L"\\" + name;
}

std::wstring scratch_dir() {
  // The calls of the running test so far, so that each gets a folder of its own.
  static std::string current_test;
  static int calls = 0;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::wstring dir = parent_of(bin_dir()) + L"\\scratch";
  if (info != nullptr) {
    std::string test = std::string(info->test_suite_name()) + "\\" + info->name();
    calls = test == current_test ? calls + 1 : 1;
    current_test = test;
    dir += L"\\" + sanitized(info->test_suite_name()) + L"\\" + sanitized(info->name());
    if (calls > 1) dir += L"." + std::to_wstring(calls);
  }
  remove_all(dir);
  make_dirs(dir);
  return dir;
}

std::string narrow(const std::wstring& text) {
  return display_form(text);
}
std::wstring wide(const std::string& text) {
  return widen(text);
}

void write_file(const std::wstring& path, const std::string& bytes) {
  make_dirs(parent_of(path));
  UniqueFile file(::CreateFileW(long_form(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.valid()) << "cannot write " << narrow(path) << ": " << ::GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(
      ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

bool path_exists(const std::wstring& path) {
  return ::GetFileAttributesW(long_form(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_dir(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(long_form(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void set_read_only(const std::wstring& path, bool read_only) {
  DWORD attributes = ::GetFileAttributesW(long_form(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  attributes =
      read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  ::SetFileAttributesW(long_form(path).c_str(), attributes);
}

bool files_equal(const std::wstring& a, const std::wstring& b) {
  return path_exists(a) && path_exists(b) && read_file(a) == read_file(b);
}

namespace {
void list_into(const std::wstring& root, const std::wstring& prefix,
               std::vector<std::wstring>* out) {
  WIN32_FIND_DATAW data;
  UniqueFind find(::FindFirstFileW(long_form(root + L"\\*").c_str(), &data));
  if (!find) return;
  do {
    std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out->push_back(prefix + name + L"\\");
      list_into(root + L"\\" + name, prefix + name + L"\\", out);
    } else {
      out->push_back(prefix + name);
    }
  } while (::FindNextFileW(find.get(), &data));
}
}  // namespace

std::vector<std::wstring> list_tree(const std::wstring& root) {
  std::vector<std::wstring> out;
  list_into(root, L"", &out);
  std::sort(out.begin(), out.end());
  return out;
}

void remove_all(const std::wstring& path) {
  DWORD attributes = ::GetFileAttributesW(long_form(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) set_read_only(path, false);
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::DeleteFileW(long_form(path).c_str());
    return;
  }
  WIN32_FIND_DATAW data;
  {
    UniqueFind find(::FindFirstFileW(long_form(path + L"\\*").c_str(), &data));
    if (find) {
      do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") remove_all(path + L"\\" + name);
      } while (::FindNextFileW(find.get(), &data));
    }
  }
  ::RemoveDirectoryW(long_form(path).c_str());
}

std::vector<std::string> read_lines(const std::wstring& path) {
  std::string text = read_file(path);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool is_stamp(const std::string& text) {
  if (text.size() != 8 || text[2] != ':' || text[5] != ':') return false;
  for (int i : {0, 1, 3, 4, 6, 7}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return std::stoi(text.substr(0, 2)) < 24 && std::stoi(text.substr(3, 2)) < 60 &&
         std::stoi(text.substr(6, 2)) < 60;
}

std::vector<std::string> log_messages(const std::wstring& path) {
  std::vector<std::string> messages;
  for (const std::string& line : read_lines(path)) {
    EXPECT_TRUE(line.size() >= 10 && is_stamp(line.substr(0, 8)) && line.substr(8, 2) == "  ")
        << "not a log line: " << line;
    messages.push_back(line.size() >= 10 ? line.substr(10) : line);
  }
  return messages;
}

namespace {

// Starts the process suspended, puts it into a job of its own (every process it starts joins
// the job too) and lets it run.
Status start_in_job(const std::wstring& program, std::wstring line, const RunOptions& options,
                    std::vector<wchar_t>& env, PROCESS_INFORMATION* info) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!::CreateProcessW(
          program.c_str(), line.data(), nullptr, nullptr, FALSE,
          CREATE_UNICODE_ENVIRONMENT | CREATE_SUSPENDED, env.empty() ? nullptr : env.data(),
          options.current_directory.empty() ? nullptr : options.current_directory.c_str(), &startup,
          info)) {
    return last_error();
  }
  return {};
}

constexpr DWORD kWineRefusedStart = 1359;  // ERROR_INTERNAL_ERROR
constexpr int kStartAttempts = 3;
int g_start_retries = 0;

// Every retry of a refused start is counted where everyone sees it: in the test output.
class StartRetryReport : public ::testing::Environment {
 public:
  void TearDown() override {
    if (g_start_retries > 0) {
      std::printf("[ harness  ] %d process start(s) refused by Wine (1359) and retried\n",
                  g_start_retries);
    }
  }
};
[[maybe_unused]] ::testing::Environment* const g_retry_report =
    ::testing::AddGlobalTestEnvironment(new StartRetryReport);

}  // namespace

StartedProcess::StartedProcess(HANDLE process, HANDLE job) : process_(process), job_(job) {}

StartedProcess& StartedProcess::operator=(StartedProcess&& other) noexcept {
  if (this != &other) {
    end_now();
    process_ = std::move(other.process_);
    job_ = std::move(other.job_);
  }
  return *this;
}

StartedProcess::~StartedProcess() {
  end_now();
}

DWORD StartedProcess::pid() const {
  return process_ ? ::GetProcessId(process_.get()) : 0;
}

bool StartedProcess::ended_within(DWORD ms) const {
  return process_ && ::WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0;
}

::testing::AssertionResult StartedProcess::ends_within(DWORD ms) const {
  if (!process_) return ::testing::AssertionFailure() << "no process was started";
  if (ended_within(ms)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "process " << pid() << " still runs after " << ms << " ms; its threads:\n"
         << backtrace_of(pid());
}

DWORD StartedProcess::exit_code() const {
  DWORD code = 0;
  if (process_) ::GetExitCodeProcess(process_.get(), &code);
  return code;
}

bool StartedProcess::family_ended_within(DWORD ms) const {
  if (!ended_within(ms)) return false;
  if (!job_) return true;
  return wait_until(
      [&] {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
        return ::QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &info,
                                           sizeof info, nullptr) &&
               info.ActiveProcesses == 0;
      },
      ms);
}

DWORD StartedProcess::processes_started() const {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
  if (!job_ || !::QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &info,
                                            sizeof info, nullptr)) {
    return 0;
  }
  return info.TotalProcesses;
}

void StartedProcess::end_now() {
  if (process_ && !ended_within(0)) {
    ::TerminateProcess(process_.get(), 99);
    ::WaitForSingleObject(process_.get(), 5000);
  }
}

StartedProcess spawn(const std::wstring& program, const std::vector<std::wstring>& arguments,
                     const RunOptions& options) {
  const std::wstring line = build_command_line(program, arguments);
  std::vector<wchar_t> env;
  if (!options.environment.empty()) env = environment_block(options.environment);
  for (int attempt = 1;; ++attempt) {
    PROCESS_INFORMATION info{};
    Status started = start_in_job(program, line, options, env, &info);
    if (started.ok()) {
      UniqueThread thread(info.hThread);
      HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
      if (job != nullptr && !::AssignProcessToJobObject(job, info.hProcess)) {
        ::CloseHandle(job);
        job = nullptr;
      }
      ::ResumeThread(thread.get());
      return StartedProcess(info.hProcess, job);
    }
    if (started.code() != kWineRefusedStart || attempt == kStartAttempts) {
      ::SetLastError(started.code());
      return {};
    }
    ++g_start_retries;
    std::printf("[ harness  ] Wine refused to start %s (1359); attempt %d\n",
                narrow(program).c_str(), attempt + 1);
  }
}

RunResult run(const std::wstring& program, const std::vector<std::wstring>& arguments,
              const RunOptions& options) {
  RunResult result;
  StartedProcess process = spawn(program, arguments, options);
  if (!process) return result;
  result.started = true;
  result.pid = process.pid();
  if (!process.ended_within(options.timeout_ms)) {
    ADD_FAILURE() << "ended by the test: " << process.ends_within(0).message();
    return result;
  }
  if (options.wait_for_descendants && !process.family_ended_within(options.timeout_ms)) {
    ADD_FAILURE() << "a process started by " << narrow(program) << " still runs";
    return result;
  }
  result.finished = true;
  result.exit_code = process.exit_code();
  result.processes_started = process.processes_started();
  return result;
}

std::string backtrace_of(DWORD pid) {
  if (!running_under_wine()) return "(no backtrace: winedbg runs under Wine only)";
  ProcessStart debugger;
  debugger.program = L"winedbg";
  debugger.arguments = {L"--command", L"bt all", std::to_wstring(pid)};
  ProcessResult result;
  if (Status s = run_to_end(debugger, &result); !s.ok()) {
    return "(no backtrace: winedbg did not start: " + error_text(s) + ")";
  }
  // "bt all" walks every process of the session; keep the blocks of this one.
  char id[16];
  std::snprintf(id, sizeof id, "in process %04lx ", static_cast<unsigned long>(pid));
  std::string kept;
  bool keep = false;
  size_t start = 0;
  while (start < result.output.size()) {
    size_t end = result.output.find('\n', start);
    if (end == std::string::npos) end = result.output.size();
    std::string line = result.output.substr(start, end - start);
    if (line.rfind("Backtracing for thread", 0) == 0) keep = line.find(id) != std::string::npos;
    if (keep) kept += line + "\n";
    start = end + 1;
  }
  return kept.empty() ? "(winedbg showed no thread of it)\n" + result.output : kept;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(const wchar_t* name,
                                                     const std::optional<std::wstring>& value)
    : name_(name) {
  DWORD needed = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (needed > 0) {
    std::wstring old(needed, L'\0');
    DWORD n = ::GetEnvironmentVariableW(name, old.data(), needed);
    old.resize(n < needed ? n : 0);
    old_ = old;
  }
  ::SetEnvironmentVariableW(name, value ? value->c_str() : nullptr);
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& folder) {
  const DWORD needed = ::GetCurrentDirectoryW(0, nullptr);
  std::wstring old(needed, L'\0');
  const DWORD n = needed > 0 ? ::GetCurrentDirectoryW(needed, old.data()) : 0;
  if (n == 0 || n >= needed) return;
  old_ = old.substr(0, n);
  changed_ = ::SetCurrentDirectoryW(folder.c_str()) != 0;
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  if (changed_) ::SetCurrentDirectoryW(old_.c_str());
}

std::wstring class_of(HWND window) {
  wchar_t name[256] = {};
  int n = ::GetClassNameW(window, name, 256);
  return std::wstring(name, n > 0 ? n : 0);
}

std::string text_of(HWND window) {
  wchar_t text[2048] = {};
  int n = ::GetWindowTextW(window, text, 2048);
  return narrow(std::wstring(text, n > 0 ? n : 0));
}

namespace {
struct WindowSearch {
  const WindowQuery* query;
  HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM parameter) {
  auto* search = reinterpret_cast<WindowSearch*>(parameter);
  const WindowQuery& q = *search->query;
  DWORD pid = 0;
  ::GetWindowThreadProcessId(window, &pid);
  if (class_of(window) != q.window_class) return TRUE;
  if (q.pid != 0 && pid != q.pid) return TRUE;
  if (q.owner != nullptr && ::GetWindow(window, GW_OWNER) != q.owner) return TRUE;
  // The style rather than IsWindowVisible(), which does not answer for another desktop.
  if ((::GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) == 0) return TRUE;
  for (int id : q.controls) {
    if (::GetDlgItem(window, id) == nullptr) return TRUE;
  }
  search->found = window;
  return FALSE;
}
}  // namespace

HWND find_window(const WindowQuery& query) {
  WindowSearch search{&query, nullptr};
  if (query.desktop != nullptr) {
    ::EnumDesktopWindows(query.desktop, match_window, reinterpret_cast<LPARAM>(&search));
  } else {
    ::EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
  }
  return search.found;
}

HWND wait_for_window(const WindowQuery& query, DWORD timeout_ms) {
  HWND window = nullptr;
  wait_until([&] { return (window = find_window(query)) != nullptr; }, timeout_ms);
  return window;
}

::testing::AssertionResult press(HWND window, int id) {
  HWND button = ::GetDlgItem(window, id);
  if (button == nullptr) {
    return ::testing::AssertionFailure() << "the window has no control " << id << " to press";
  }
  RECT r{};
  ::GetClientRect(button, &r);
  const LPARAM middle = MAKELPARAM((r.right - r.left) / 2, (r.bottom - r.top) / 2);
  // Posted, so that a message box the press opens cannot block the test.
  if (!::PostMessageW(button, WM_LBUTTONDOWN, MK_LBUTTON, middle) ||
      !::PostMessageW(button, WM_LBUTTONUP, 0, middle)) {
    return ::testing::AssertionFailure() << "the press could not be posted: " << ::GetLastError();
  }
  return ::testing::AssertionSuccess();
}

bool wait_until(const std::function<bool()>& condition, DWORD timeout_ms, DWORD step_ms) {
  std::uint64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (now_ms() >= deadline) return false;
    ::Sleep(step_ms);
  }
}

std::uint64_t now_ms() {
  return ::GetTickCount64();
}

bool running_under_wine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string linux_path(const std::wstring& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto to_unix = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_unix_file_name")));
  if (to_unix == nullptr) return {};
  char* name = to_unix(path.c_str());
  if (name == nullptr) return {};
  std::string out(name);
  ::HeapFree(::GetProcessHeap(), 0, name);
  return out;
}

int run_linux(const std::string& command) {
  if (!running_under_wine()) return -1;
  // Wine starts a Unix program when CreateProcessW is given one, but hands back no process
  // handle to wait on: the shell leaves its exit status in a file instead.
  static int counter = 0;
  wchar_t temp[MAX_PATH];
  DWORD n = ::GetTempPathW(MAX_PATH, temp);
  if (n == 0 || n >= MAX_PATH) return -1;
  const std::wstring status_file = std::wstring(temp, n) + L"tavrio-linux-status-" +
                                   std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(++counter) + L".txt";
  const std::string status_linux = linux_path(status_file);
  if (status_linux.empty()) return -1;
  ::DeleteFileW(status_file.c_str());
  std::string script = "{ " + command + "\n} ; echo $? > '" + status_linux + "'";
  std::wstring line = build_command_line(L"/bin/sh", {L"-c", wide(script)});
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
    return -1;
  }
  if (info.hThread) ::CloseHandle(info.hThread);
  if (info.hProcess) ::CloseHandle(info.hProcess);
  std::string status;
  wait_until(
      [&] {
        status = read_file(status_file);
        return !status.empty() && status.back() == '\n';
      },
      60000);
  ::DeleteFileW(status_file.c_str());
  if (status.empty() || status.back() != '\n') return -1;
  return std::atoi(status.c_str());
}

}  // namespace tavrio::test
