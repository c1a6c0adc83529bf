// Measures how long the application is away during an update, on a generated one-folder bundle
// of about 3,000 files and 100 MB:
//   - end to end with the real tavrio-updater.exe: from the application's exit to the restarted
//     application's first sign of life, and the window in which the install folder has no
//     "_internal" (from the backup rename to the replacement rename), watched from outside;
//     with the handshake ("--ready"), the stand-in waits for the updater's ready event before it
//     exits, and the time from its start of the updater to the event is printed too; the
//     handshake once more while another process keeps writing to the same disk;
//   - one start of the stand-in application, timed the same way (start -> its first sign of
//     life): the unit of the goals;
//   - its parts in-process: the wait's detection delay, and a whole update run through the
//     program's own entry (run_update) with the ready handshake, timed at its seams: the steps
//     run while the application still runs, the exit noticed to the restarted application's
//     first sign of life, and the tree removals after that;
//   - the floors those parts cannot go below: one folder rename, one copy of the executable, one
//     tree removal of the bundle.
// Usage: update_downtime_bench [runs] [other updaters...]   (prints numbers; run under Wine
// through wine-run.sh). "update_downtime_bench --keep-writing FOLDER" is the busy disk's writer.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <random>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

#include "common/command_line.h"
#include "common/clock.h"
#include "common/file_ops.h"
#include "common/tree_removal.h"
#include "common/handles.h"
#include "request.h"
#include "support/scene.h"
#include "update_log.h"
#include "update_sequence.h"
#include "wait_for_exit.h"

namespace {

using Clock = std::chrono::steady_clock;
using tavrio::UniqueFile;
using tavrio::UniqueProcess;

// About 3,000 files and 100 MB below _internal, as a one-folder bundle lays it out.
constexpr tavrio::test::GeneratedRuntime kRuntime = {2900, 100, 12 * 1024, 660 * 1024, 60};

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

std::wstring folder_of_exe() {
  wchar_t path[4096];
  DWORD n = ::GetModuleFileNameW(nullptr, path, 4096);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

// The installation and the staged version below root, every file on the disk before the
// update starts, as a downloader that finished a while ago leaves them.
void lay_out(const std::wstring& root, const std::wstring& exe, bool manifest) {
  (void)tavrio::remove_tree(root + L"\\Tavrio");
  (void)tavrio::remove_tree(root + L"\\staging");
  const std::string runtime(kRuntime.small_size, 'r');
  tavrio::test::SceneOptions options;
  options.install_name = L"Tavrio";
  options.installed = {{L"Tavrio.exe", {}, exe},
                       {L"_internal\\python312.dll", runtime, {}},
                       {L"_internal\\base_library.zip", runtime, {}}};
  options.staged = options.installed;
  options.generated = kRuntime;
  options.manifest = manifest;
  options.synced = true;
  const tavrio::test::Scene scene = tavrio::test::make_scene(root, options);
  if (!scene.failed.empty()) std::printf("  (could not write %ls)\n", scene.failed.c_str());
}

HANDLE spawn(const std::wstring& program, const std::vector<std::wstring>& arguments,
             const std::wstring& cwd = {}) {
  std::wstring line = tavrio::build_command_line(program, arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &info)) {
    return nullptr;
  }
  ::CloseHandle(info.hThread);
  return info.hProcess;
}

size_t records_in(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  if (!file) return 0;
  char buffer[65536];
  DWORD read = 0;
  std::string text;
  while (::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  size_t count = 0;
  for (size_t at = text.find("end\n"); at != std::string::npos; at = text.find("end\n", at + 1)) {
    ++count;
  }
  return count;
}

bool path_exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool wait_for(const std::function<bool()>& condition, DWORD timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    ::Sleep(1);
  }
  return true;
}

struct Stats {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double mean() const {
    double sum = 0;
    for (double v : values) sum += v;
    return values.empty() ? 0 : sum / values.size();
  }
  double median() const {
    if (values.empty()) return 0;
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const size_t mid = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
  }
  double min() const {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
  }
  double max() const {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
  }
};

void print(const char* name, const Stats& s) {
  std::printf("  %-46s median %8.1f ms   min %8.1f   max %8.1f\n", name, s.median(), s.min(),
              s.max());
}

// What one updater's runs measured, end to end.
struct EndToEnd {
  std::wstring updater;
  bool manifest = false;   // the stage carries a package manifest of all its files
  bool handshake = false;  // the application waits for the ready event before it exits
  bool busy_disk = false;  // another process keeps writing to the same disk meanwhile
  Stats downtime, exit_to_backup, window, to_ready;
};

// The busy disk: writes and flushes 4 MB at a time into a 64 MB file, over and over, until it
// is ended.
int keep_writing(const std::wstring& folder) {
  const std::string chunk(4 << 20, 'w');
  const std::wstring path = folder + L"\\busy-disk.bin";
  for (;;) {
    UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return 1;
    for (int i = 0; i < 16; ++i) {
      tavrio::write_all(file.get(), chunk);
      ::FlushFileBuffers(file.get());
    }
  }
}

// The milliseconds from the stand-in's start of the updater to the ready event, as it recorded
// them ("ready <ms>"); a negative value when it saw no event.
double ready_ms(const std::wstring& handshake) {
  UniqueFile file(::CreateFileW(handshake.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  char text[64] = {};
  DWORD read = 0;
  if (!file || !::ReadFile(file.get(), text, sizeof text - 1, &read, nullptr)) return -1;
  return std::string_view(text).starts_with("ready ") ? std::atof(text + 6) : -1;
}

// Watches the install folder from outside and records the time without "_internal", until it is
// back.
struct GapWatcher {
  std::wstring program_folder;
  std::atomic<bool> stop{false};
  Clock::time_point first_absent{};
  double longest_gap_ms = 0;
  long long probes = 0;
  void run() {
    bool absent = false;
    Clock::time_point since{};
    while (!stop.load()) {
      bool present = ::GetFileAttributesW(program_folder.c_str()) != INVALID_FILE_ATTRIBUTES;
      ++probes;
      auto now = Clock::now();
      if (!present && !absent) {
        absent = true;
        since = now;
        if (first_absent == Clock::time_point{}) first_absent = now;
      } else if (present && absent) {
        // The swap has put the new runtime in place: from here on the probes would only take a
        // core away from the restart being measured.
        longest_gap_ms = std::max(longest_gap_ms, ms_between(since, now));
        return;
      }
    }
  }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring_view(argv[1]) == L"--keep-writing") return keep_writing(argv[2]);
  const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 3;
  const std::wstring bin = folder_of_exe();
  const std::wstring standin = bin + L"\\standin_app.exe";
  // Other updaters (an earlier build, say) given after the number of runs are measured in the
  // same runs, in turn with this build's.
  std::vector<EndToEnd> updaters(1);
  updaters[0].updater = bin + L"\\tavrio-updater.exe";
  for (int i = 2; i < argc; ++i) updaters.emplace_back().updater = argv[i];
  // This build again with a package manifest, then both with the ready handshake, and the
  // manifest once more without and with the handshake while the disk is busy.
  struct Variant {
    bool manifest, handshake, busy_disk;
  };
  for (const Variant v :
       {Variant{true, false, false}, Variant{false, true, false}, Variant{true, true, false},
        Variant{true, false, true}, Variant{true, true, true}}) {
    EndToEnd& variant = updaters.emplace_back();
    variant.updater = updaters[0].updater;
    variant.manifest = v.manifest;
    variant.handshake = v.handshake;
    variant.busy_disk = v.busy_disk;
  }
  const std::wstring root = bin.substr(0, bin.find_last_of(L'\\')) + L"\\bench-scratch\\update";
  ::CreateDirectoryW((root.substr(0, root.find_last_of(L'\\'))).c_str(), nullptr);
  (void)tavrio::remove_tree(root);
  ::CreateDirectoryW(root.c_str(), nullptr);
  const std::wstring install = root + L"\\Tavrio", stage = root + L"\\staging";
  const std::wstring record = root + L"\\record.txt", log_path = root + L"\\update.log";
  ::SetEnvironmentVariableW(L"STANDIN_RECORD", record.c_str());
  std::mt19937 random(12345);

  std::printf("bundle: %d files, %.1f MB in _internal (and the same staged)\n",
              kRuntime.files() + 2, kRuntime.megabytes());

  // ---- end to end with the real updaters
  Stats process_start, fresh_start;
  for (int run = 0; run < runs; ++run) {
    {
      // One process start, the unit of the goal: from CreateProcess to the stand-in's record.
      ::DeleteFileW(record.c_str());
      const auto started = Clock::now();
      UniqueProcess once(spawn(standin, {}, bin));
      wait_for([&] { return records_in(record) >= 1; }, 10000);
      process_start.add(ms_between(started, Clock::now()));
      ::WaitForSingleObject(once.get(), 10000);
      // The same start of an executable written a moment ago, as the restarted one is.
      const std::wstring fresh = root + L"\\fresh.exe";
      (void)tavrio::copy_file(standin, fresh);
      (void)tavrio::flush_file(fresh);
      ::DeleteFileW(record.c_str());
      const auto fresh_started = Clock::now();
      UniqueProcess fresh_once(spawn(fresh, {}, bin));
      wait_for([&] { return records_in(record) >= 1; }, 10000);
      fresh_start.add(ms_between(fresh_started, Clock::now()));
      ::WaitForSingleObject(fresh_once.get(), 10000);
      ::DeleteFileW(fresh.c_str());
    }
    for (EndToEnd& measured : updaters) {
      lay_out(root, standin, measured.manifest);
      ::DeleteFileW(record.c_str());
      ::DeleteFileW(log_path.c_str());
      ::DeleteFileW((record + L".handshake").c_str());
      UniqueProcess writer;
      if (measured.busy_disk) {
        writer.reset(spawn(bin + L"\\update_downtime_bench.exe", {L"--keep-writing", root}));
        ::Sleep(500);  // the writer well under way
      }
      GapWatcher watcher;
      watcher.program_folder = install + L"\\_internal";
      std::thread watching([&] { watcher.run(); });
      // The application's own protocol: it starts the updater with its own process id and exits
      // at once, or, with the handshake, once the updater has set the ready event.
      std::vector<std::wstring> arguments = {
          measured.handshake ? L"--ready-start" : L"--then-start",
          measured.updater,
          L"--pid",
          L"{pid}",
          L"--app",
          install,
          L"--exe",
          L"Tavrio.exe",
          L"--stage",
          stage,
          L"--log",
          log_path};
      if (measured.handshake) arguments.insert(arguments.end(), {L"--ready", L"{ready}"});
      UniqueProcess app(spawn(install + L"\\Tavrio.exe", arguments, install));
      ::WaitForSingleObject(app.get(), INFINITE);
      const auto exited = Clock::now();
      wait_for([&] { return records_in(record) >= 2; }, 60000);
      const auto restarted = Clock::now();
      watcher.stop = true;
      watching.join();
      if (writer) {
        ::TerminateProcess(writer.get(), 0);
        ::WaitForSingleObject(writer.get(), 10000);
        ::DeleteFileW((root + L"\\busy-disk.bin").c_str());
      }
      measured.downtime.add(ms_between(exited, restarted));
      if (measured.handshake) {
        const double ms = ready_ms(record + L".handshake");
        if (ms >= 0)
          measured.to_ready.add(ms);
        else
          std::printf("  (no ready event seen in run %d)\n", run);
      }
      // A gap shorter than one probe can pass unseen; only runs that saw it count.
      if (watcher.first_absent != Clock::time_point{}) {
        measured.window.add(watcher.longest_gap_ms);
        measured.exit_to_backup.add(ms_between(exited, watcher.first_absent));
      }
      // The updater goes on with the removals behind the restart: let it finish.
      wait_for([&] { return !path_exists(stage) && !path_exists(install + L"\\update.journal"); },
               60000);
      ::Sleep(200);
    }
  }

  // ---- the parts, in-process through the updater's own entry
  Stats detection, whole, early, after_exit, after_restart, rename_floor, copy_floor, removal_floor;
  for (int run = 0; run < runs; ++run) {
    {
      UniqueProcess app(spawn(standin, {L"--run-seconds", L"-1"}));
      const DWORD pid = ::GetProcessId(app.get());
      Clock::time_point ended;
      std::thread ender([&] {
        ::Sleep(300 + random() % 1000);
        ::TerminateProcess(app.get(), 0);
        ::WaitForSingleObject(app.get(), INFINITE);
        ended = Clock::now();
      });
      // The stand-in plays the application, so it must count as older than "the updater".
      FILETIME updater_created;
      ::GetSystemTimeAsFileTime(&updater_created);
      UniqueProcess held = tavrio::updater::open_application(pid, standin, updater_created);
      if (!held) std::printf("  (the stand-in was not taken for the application)\n");
      tavrio::updater::wait_for_exit(held.get(), tavrio::updater::UpdateLog(L""),
                                     [](unsigned ms) { tavrio::pause_ms(ms); });
      const auto noticed = Clock::now();
      ender.join();
      detection.add(ms_between(ended, noticed));
    }
    lay_out(root, standin, false);
    // A whole update in-process, through the program's own entry: the installed stand-in plays
    // the application that waits on its ready event and exits on it, and the seams tell when
    // each part of the run begins.
    ::DeleteFileW(record.c_str());
    UniqueProcess app(spawn(install + L"\\Tavrio.exe", {L"--run-seconds", L"-1"}, install));
    wait_for([&] { return records_in(record) >= 1; }, 10000);
    ::DeleteFileW(record.c_str());
    const std::wstring event_name =
        L"Local\\tavrio-bench-ready-" + std::to_wstring(::GetCurrentProcessId());
    tavrio::UniqueHandle<tavrio::InvalidIsNull> event(
        ::CreateEventW(nullptr, TRUE, FALSE, event_name.c_str()));
    namespace up = tavrio::updater;
    up::UpdateRequest request;
    request.process_id = ::GetProcessId(app.get());
    request.install_dir = install;
    request.exe_name = L"Tavrio.exe";
    request.staging_dir = stage;
    request.ready_event = event_name;
    Clock::time_point ready{}, exited{}, restarted{};
    up::UpdateSeams seams;
    // The stand-in counts as older than "the updater".
    ::GetSystemTimeAsFileTime(&seams.updater_created);
    seams.set_ready = [&](HANDLE event_handle) {
      ready = Clock::now();
      ::SetEvent(event_handle);
      ::TerminateProcess(app.get(), 0);
      ::WaitForSingleObject(app.get(), INFINITE);
    };
    const up::ProcessWait real_wait = up::real_process_wait();
    seams.wait_on_application = [&](HANDLE process, unsigned ms) {
      const bool ended = real_wait(process, ms);
      if (ended) exited = Clock::now();
      return ended;
    };
    // The restarted application's first sign of life, seen while the run goes on behind it.
    std::atomic<bool> run_over{false};
    std::thread restart_watch([&] {
      while (!run_over.load() && records_in(record) < 1) ::Sleep(1);
      if (records_in(record) >= 1) restarted = Clock::now();
    });
    const auto t0 = Clock::now();
    up::run_update(request, seams);
    const auto t1 = Clock::now();
    run_over = true;
    restart_watch.join();
    if (ready == Clock::time_point{} || exited == Clock::time_point{} ||
        restarted == Clock::time_point{}) {
      std::printf("  (run %d did not reach the restart)\n", run);
    } else {
      early.add(ms_between(t0, ready));
      after_exit.add(ms_between(exited, restarted));
      after_restart.add(ms_between(restarted, t1));
    }
    whole.add(ms_between(t0, t1));
    if (path_exists(stage)) std::printf("  (the update failed in run %d)\n", run);

    // Floors on the bundle now installed: one rename of its folder, one copy of the executable,
    // one tree removal.
    auto r0 = Clock::now();
    (void)tavrio::rename_path(install + L"\\_internal", install + L"\\_moved");
    auto r1 = Clock::now();
    (void)tavrio::copy_file(standin, install + L"\\copy.exe");
    auto r2 = Clock::now();
    (void)tavrio::remove_tree(install + L"\\_moved");
    auto r3 = Clock::now();
    rename_floor.add(ms_between(r0, r1));
    copy_floor.add(ms_between(r1, r2));
    removal_floor.add(ms_between(r2, r3));
  }
  (void)tavrio::remove_tree(root);

  std::printf("\none process start (start -> its record), %d runs\n", runs);
  print("process start", process_start);
  print("start of an executable just written", fresh_start);
  for (const EndToEnd& measured : updaters) {
    std::printf("\nend to end, %ls%s%s%s\n", measured.updater.c_str(),
                measured.manifest ? ", stage with a package manifest" : "",
                measured.handshake ? ", the application closes on the ready event"
                                   : ", the application closes at once",
                measured.busy_disk ? ", another process writing to the disk" : "");
    print("downtime: exit -> restarted app's record", measured.downtime);
    print("exit -> _internal moved to backup", measured.exit_to_backup);
    print("window without _internal, seen from outside", measured.window);
    if (measured.handshake) print("updater's start -> ready event", measured.to_ready);
    std::printf("  downtime / one process start, medians: %.2fx\n",
                measured.downtime.median() / process_start.median());
  }
  std::printf("\nsummary, medians of %d runs, one process start = %.1f ms\n", runs,
              process_start.median());
  std::printf("  %-58s %10s %8s %12s\n", "", "downtime", "starts", "to ready");
  for (const EndToEnd& measured : updaters) {
    std::string name = measured.handshake ? "ready handshake" : "closes at once";
    if (measured.manifest) name += ", manifest";
    if (measured.busy_disk) name += ", busy disk";
    if (&measured != &updaters[0] && measured.updater != updaters[0].updater) name += ", other";
    char to_ready[32] = "";
    if (measured.handshake)
      std::snprintf(to_ready, sizeof to_ready, "%.0f ms", measured.to_ready.median());
    std::printf("  %-58s %7.0f ms %7.2fx %12s\n", name.c_str(), measured.downtime.median(),
                measured.downtime.median() / process_start.median(), to_ready);
  }
  std::printf("\nparts, in-process through the updater's own entry, %d runs\n", runs);
  print("wait: detection delay after the exit", detection);
  print("run: every part, the tree removals included", whole);
  print("run: start -> ready (steps while the app runs)", early);
  print("run: exit noticed -> restarted app's record", after_exit);
  print("run: restarted app's record -> run's end", after_restart);
  std::printf("\nfloors\n");
  print("one rename of _internal", rename_floor);
  print("one copy of the executable", copy_floor);
  print("one tree removal of the bundle", removal_floor);
  return 0;
}
